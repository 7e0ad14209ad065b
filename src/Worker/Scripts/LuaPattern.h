#ifndef ORVO_WORKER_SCRIPTS_LUAPATTERN_H
#define ORVO_WORKER_SCRIPTS_LUAPATTERN_H

#include <cstddef>

#include <lua.hpp>

// Lua's pattern matching (the patterns of string.find, match, gmatch and
// gsub), on a budget. The string library's own matcher runs in C, where a
// script's instruction and time budgets are never looked at: a pattern
// that backtracks ('.-.-.-.-b' over 30,000 bytes) held the worker's main
// thread until the watchdog ended the worker. This one charges its steps
// to the script's budgets every StepsPerCharge steps, and so stops where a
// loop in Lua would.
//
// Errors are raised on the Lua state with the library's texts, by
// longjmp: an object holds no resource, and no caller may hold one across
// its calls. One object serves one subject and pattern.
class LuaPattern {
public:
    static constexpr int MaxCaptures = 32;
    static constexpr long StepsPerCharge = 4096;

    LuaPattern(lua_State* lua, const char* subject, std::size_t subjectSize, const char* pattern,
               std::size_t patternSize);

    // Whether the pattern starts with '^' (find, match and gsub only match
    // at their start position then); Match is to be given the pattern
    // after it.
    bool Anchored() const { return *pattern == '^'; }
    const char* PatternAfterAnchor() const { return pattern + (Anchored() ? 1 : 0); }

    // The end of a match of pattern p that starts at s, or nullptr. Each
    // call starts afresh, without captures.
    const char* Match(const char* s, const char* p);

    // Pushes the captures of the last match from start to end (the whole
    // match when the pattern has none, unless start is nullptr) and returns
    // how many.
    int PushCaptures(const char* start, const char* end);
    // Pushes capture i (the whole match for 0 when there is none).
    void PushCapture(int i, const char* start, const char* end);

private:
    static constexpr long Unfinished = -1;
    static constexpr long Position = -2;
    static constexpr int MaxDepth = 200;

    struct Capture {
        const char* start;
        long length;
    };

    const char* MatchFrom(const char* s, const char* p);
    bool Advance(const char*& s, const char*& p);
    bool AdvanceSingle(const char*& s, const char*& p);
    const char* MaxExpand(const char* s, const char* p, const char* ep);
    const char* MinExpand(const char* s, const char* p, const char* ep);
    const char* StartCapture(const char* s, const char* p, long what);
    const char* EndCapture(const char* s, const char* p);
    const char* MatchBalance(const char* s, const char* p);
    const char* MatchCapture(const char* s, int which);
    const char* MatchFrontier(const char* s, const char* p);
    const char* ClassEnd(const char* p);
    bool SingleMatch(const char* s, const char* p, const char* ep) const;
    static bool MatchBracketClass(int c, const char* p, const char* ec);
    static bool MatchClass(int c, int cl);
    int CaptureToClose();
    void Step();

    lua_State* lua;
    const char* subject;
    const char* subjectEnd;
    const char* pattern;
    const char* patternEnd;
    int level = 0;
    int depth = MaxDepth;
    long steps = 0;
    Capture captures[MaxCaptures];
};

#endif
