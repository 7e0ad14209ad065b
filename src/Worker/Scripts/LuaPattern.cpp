#include "Scripts/LuaPattern.h"

#include <cctype>
#include <cstring>

#include "Scripts/LuaBudget.h"

namespace {

const char Escape = '%';

int Byte(const char* c) {
    return static_cast<unsigned char>(*c);
}

} // namespace

LuaPattern::LuaPattern(lua_State* lua, const char* subject, std::size_t subjectSize, const char* pattern,
                       std::size_t patternSize)
    : lua(lua),
      subject(subject),
      subjectEnd(subject + subjectSize),
      pattern(pattern),
      patternEnd(pattern + patternSize) {}

const char* LuaPattern::Match(const char* s, const char* p) {
    level = 0;
    depth = MaxDepth;
    return MatchFrom(s, p);
}

// Charges the script's budgets every StepsPerCharge steps; an exhausted
// budget raises its error from there.
void LuaPattern::Step() {
    if (++steps == StepsPerCharge) {
        steps = 0;
        LuaBudget::Spend(lua, StepsPerCharge);
    }
}

// Matches item after item; an item that needs the rest of the pattern
// matched first (a capture, a repetition) recurses, within MaxDepth.
const char* LuaPattern::MatchFrom(const char* s, const char* p) {
    if (depth-- == 0) {
        luaL_error(lua, "pattern too complex");
    }
    Step();
    while (p != patternEnd && Advance(s, p)) {
        Step();
    }
    ++depth;
    return s;
}

// Matches the item at p against s. True with s and p past it when the
// match goes on; false with s the end of the whole match (nullptr for
// none) when the item decided it.
bool LuaPattern::Advance(const char*& s, const char*& p) {
    switch (*p) {
    case '(':
        s = p[1] == ')' ? StartCapture(s, p + 2, Position) : StartCapture(s, p + 1, Unfinished);
        return false;
    case ')':
        s = EndCapture(s, p + 1);
        return false;
    case '$':
        if (p + 1 == patternEnd) {
            s = s == subjectEnd ? s : nullptr;
            return false;
        }
        return AdvanceSingle(s, p);
    case Escape:
        if (p[1] == 'b') {
            s = MatchBalance(s, p + 2);
            p += 4;
            return s != nullptr;
        }
        if (p[1] == 'f') {
            p = MatchFrontier(s, p + 2);
            s = p != nullptr ? s : nullptr;
            return s != nullptr;
        }
        if (std::isdigit(Byte(p + 1))) {
            s = MatchCapture(s, Byte(p + 1));
            p += 2;
            return s != nullptr;
        }
        return AdvanceSingle(s, p);
    default:
        return AdvanceSingle(s, p);
    }
}

// A single-character class, maybe followed by a repetition.
bool LuaPattern::AdvanceSingle(const char*& s, const char*& p) {
    const char* ep = ClassEnd(p);
    if (!SingleMatch(s, p, ep)) {
        const bool optional = *ep == '*' || *ep == '?' || *ep == '-';
        p = ep + 1;
        s = optional ? s : nullptr;
        return optional;
    }
    switch (*ep) {
    case '?': {
        const char* end = MatchFrom(s + 1, ep + 1);
        if (end != nullptr) {
            s = end;
            return false;
        }
        p = ep + 1;
        return true;
    }
    case '+':
        s = MaxExpand(s + 1, p, ep);
        return false;
    case '*':
        s = MaxExpand(s, p, ep);
        return false;
    case '-':
        s = MinExpand(s, p, ep);
        return false;
    default:
        ++s;
        p = ep;
        return true;
    }
}

const char* LuaPattern::MaxExpand(const char* s, const char* p, const char* ep) {
    std::ptrdiff_t i = 0;
    while (SingleMatch(s + i, p, ep)) {
        Step();
        ++i;
    }
    for (; i >= 0; --i) {
        const char* end = MatchFrom(s + i, ep + 1);
        if (end != nullptr) {
            return end;
        }
    }
    return nullptr;
}

const char* LuaPattern::MinExpand(const char* s, const char* p, const char* ep) {
    for (;;) {
        const char* end = MatchFrom(s, ep + 1);
        if (end != nullptr) {
            return end;
        }
        if (!SingleMatch(s, p, ep)) {
            return nullptr;
        }
        Step();
        ++s;
    }
}

const char* LuaPattern::StartCapture(const char* s, const char* p, long what) {
    if (level >= MaxCaptures) {
        luaL_error(lua, "too many captures");
    }
    captures[level] = Capture{s, what};
    ++level;
    const char* end = MatchFrom(s, p);
    if (end == nullptr) {
        --level;
    }
    return end;
}

const char* LuaPattern::EndCapture(const char* s, const char* p) {
    const int closing = CaptureToClose();
    captures[closing].length = s - captures[closing].start;
    const char* end = MatchFrom(s, p);
    if (end == nullptr) {
        captures[closing].length = Unfinished;
    }
    return end;
}

int LuaPattern::CaptureToClose() {
    for (int open = level - 1; open >= 0; --open) {
        if (captures[open].length == Unfinished) {
            return open;
        }
    }
    return luaL_error(lua, "invalid pattern capture");
}

// %bxy: a run from x to its balancing y; the end of the run.
const char* LuaPattern::MatchBalance(const char* s, const char* p) {
    if (p >= patternEnd - 1) {
        luaL_error(lua, "malformed pattern (missing arguments to '%%b')");
    }
    if (s >= subjectEnd || *s != *p) {
        return nullptr;
    }
    const char open = p[0];
    const char close = p[1];
    int depthOfRun = 1;
    while (++s < subjectEnd) {
        Step();
        if (*s == close) {
            if (--depthOfRun == 0) {
                return s + 1;
            }
        } else if (*s == open) {
            ++depthOfRun;
        }
    }
    return nullptr;
}

// %n: the text of capture n again.
const char* LuaPattern::MatchCapture(const char* s, int which) {
    const int i = which - '1';
    if (i < 0 || i >= level || captures[i].length == Unfinished) {
        luaL_error(lua, "invalid capture index %%%d", i + 1);
    }
    const std::size_t length = static_cast<std::size_t>(captures[i].length);
    if (static_cast<std::size_t>(subjectEnd - s) >= length && std::memcmp(captures[i].start, s, length) == 0) {
        return s + length;
    }
    return nullptr;
}

// %f[set]: where the previous character is not in set and this one is
// (the subject's ends count as '\0'). The pattern past the set, or
// nullptr.
const char* LuaPattern::MatchFrontier(const char* s, const char* p) {
    if (*p != '[') {
        luaL_error(lua, "missing '[' after '%%f' in pattern");
    }
    const char* ep = ClassEnd(p);
    const int previous = s == subject ? 0 : Byte(s - 1);
    const int current = s < subjectEnd ? Byte(s) : 0;
    if (!MatchBracketClass(previous, p, ep - 1) && MatchBracketClass(current, p, ep - 1)) {
        return ep;
    }
    return nullptr;
}

// Where the single-character class at p ends.
const char* LuaPattern::ClassEnd(const char* p) {
    const char first = *p++;
    if (first == Escape) {
        if (p == patternEnd) {
            luaL_error(lua, "malformed pattern (ends with '%%')");
        }
        return p + 1;
    }
    if (first == '[') {
        if (*p == '^') {
            ++p;
        }
        do {
            if (p == patternEnd) {
                luaL_error(lua, "malformed pattern (missing ']')");
            }
            if (*p++ == Escape && p < patternEnd) {
                ++p;
            }
        } while (*p != ']');
        return p + 1;
    }
    return p;
}

bool LuaPattern::SingleMatch(const char* s, const char* p, const char* ep) const {
    if (s >= subjectEnd) {
        return false;
    }
    const int c = Byte(s);
    switch (*p) {
    case '.':
        return true;
    case Escape:
        return MatchClass(c, Byte(p + 1));
    case '[':
        return MatchBracketClass(c, p, ep - 1);
    default:
        return Byte(p) == c;
    }
}

// [set] from p to its closing bracket ec.
bool LuaPattern::MatchBracketClass(int c, const char* p, const char* ec) {
    bool in = true;
    if (p[1] == '^') {
        in = false;
        ++p;
    }
    while (++p < ec) {
        if (*p == Escape) {
            ++p;
            if (MatchClass(c, Byte(p))) {
                return in;
            }
        } else if (p[1] == '-' && p + 2 < ec) {
            p += 2;
            if (Byte(p - 2) <= c && c <= Byte(p)) {
                return in;
            }
        } else if (Byte(p) == c) {
            return in;
        }
    }
    return !in;
}

bool LuaPattern::MatchClass(int c, int cl) {
    bool matches = false;
    switch (std::tolower(cl)) {
    case 'a': matches = std::isalpha(c); break;
    case 'c': matches = std::iscntrl(c); break;
    case 'd': matches = std::isdigit(c); break;
    case 'g': matches = std::isgraph(c); break;
    case 'l': matches = std::islower(c); break;
    case 'p': matches = std::ispunct(c); break;
    case 's': matches = std::isspace(c); break;
    case 'u': matches = std::isupper(c); break;
    case 'w': matches = std::isalnum(c); break;
    case 'x': matches = std::isxdigit(c); break;
    case 'z': matches = c == 0; break;
    default: return cl == c;
    }
    return std::isupper(cl) ? !matches : matches;
}

int LuaPattern::PushCaptures(const char* start, const char* end) {
    const int count = level == 0 && start != nullptr ? 1 : level;
    luaL_checkstack(lua, count, "too many captures");
    for (int i = 0; i < count; ++i) {
        PushCapture(i, start, end);
    }
    return count;
}

void LuaPattern::PushCapture(int i, const char* start, const char* end) {
    if (i >= level) {
        if (i != 0) {
            luaL_error(lua, "invalid capture index");
        }
        lua_pushlstring(lua, start, static_cast<std::size_t>(end - start));
        return;
    }
    const Capture& capture = captures[i];
    if (capture.length == Unfinished) {
        luaL_error(lua, "unfinished capture");
    }
    if (capture.length == Position) {
        lua_pushinteger(lua, capture.start - subject + 1);
    } else {
        lua_pushlstring(lua, capture.start, static_cast<std::size_t>(capture.length));
    }
}
