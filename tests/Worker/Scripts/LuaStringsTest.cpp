// The scripts' string.find, match, gmatch and gsub: the same results and
// error texts as Lua's own library, case by case, and pattern matching
// that the script's budgets stop.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Scripts/LuaState.h"

namespace {

// Each value a case returns, strings quoted, or its error.
const char* const Show = "local function show(...)\n"
                         "  local shown = {}\n"
                         "  for i = 1, select('#', ...) do\n"
                         "    local v = select(i, ...)\n"
                         "    shown[i] = type(v) == 'string' and string.format('%q', v) or tostring(v)\n"
                         "  end\n"
                         "  return table.concat(shown, ', ')\n"
                         "end\n"
                         "local ok, shown = pcall(function () return show(";

std::string Shown(lua_State* lua, const std::string& expression) {
    const std::string source = Show + expression + ") end)\nreturn tostring(ok) .. ': ' .. shown";
    if (luaL_loadstring(lua, source.c_str()) != LUA_OK || lua_pcall(lua, 0, 1, 0) != LUA_OK) {
        const std::string error = lua_tostring(lua, -1);
        lua_pop(lua, 1);
        return "not run: " + error;
    }
    const std::string shown = lua_tostring(lua, -1);
    lua_pop(lua, 1);
    return shown;
}

TEST(LuaStrings, PatternFunctionsAnswerAsLuasOwnLibrary) {
    const std::vector<std::string> cases = {
        // find: plain and pattern, start positions, captures
        "('hello world'):find('o w')", "('hello world'):find('o', 6)", "('hello world'):find('o', -3)",
        "('hello'):find('l', 10)", "('hello'):find('', 6)", "('hello'):find('', 7)", "('a.b'):find('.', 1, true)",
        "('a+b'):find('+', 1, true)", "('key = value'):find('(%w+)%s*=%s*(%w+)')", "('abc'):find('()b()')",
        "('abc'):find('^b')", "('abc'):find('^a')", "('abc'):find('c$')", "('a$c'):find('$c')",
        "('a\\0b'):find('\\0')", "('a\\0b'):find('%z')",
        // match: classes, sets, repetitions, anchors
        "('  trim me  '):match('^%s*(.-)%s*$')", "('2026-12-09'):match('(%d+)-(%d+)-(%d+)')",
        "('Hello, World!'):match('%u%l+')", "('x = 0x1F;'):match('0x(%x+)')", "('tab\\there'):match('%c')",
        "('a,b;c'):match('[%p]')", "('word1 word2'):match('%W+')", "('abc123'):match('[a-c]+')",
        "('abc123'):match('[^%a]+')", "('[x]'):match('[]]')", "('a-b'):match('[a%-]+')", "('-'):match('[a-]')",
        "('aaab'):match('a-b')", "('aaab'):match('a*b')", "('b'):match('a+b')", "('ab'):match('a?b')",
        "('b'):match('a?b')", "('THE (quick) fox'):match('%((%a+)%)')", "('f(a(b)c)d'):match('%b()')",
        "('THE (quick) fox'):match('%f[%a]%a+', 5)", "('hello hello'):match('(h%a+) %1')",
        "('abc'):match('.', -1)", "('abc'):match('()', 4)", "('printable text'):match('%g+')",
        "('x'):match(('x'):rep(1) .. ('.?'):rep(150))", "(('ab'):rep(300)):match(('ab'):rep(300))",
        // gmatch: captures, empty matches, '^' as itself
        "(function () local t = {} for k, v in ('a=1, b=2'):gmatch('(%w+)=(%w+)') do t[#t + 1] = k .. v end "
        "return table.concat(t, ' ') end)()",
        "(function () local n = 0 for _ in ('abc'):gmatch('x*') do n = n + 1 end return n end)()",
        "(function () local t = {} for w in ('^a^b'):gmatch('^%a') do t[#t + 1] = w end "
        "return table.concat(t, ' ') end)()",
        "(function () local t = {} for p in ('abc'):gmatch('()') do t[#t + 1] = p end "
        "return table.concat(t, ' ') end)()",
        // gsub: texts, tables, functions, limits, anchors
        "('hello world'):gsub('o', '0')", "('hello world'):gsub('(%w+)', '<%1>')", "('abc'):gsub('', '-')",
        "('hello world'):gsub('%w+', '%0 %0', 1)", "('50%'):gsub('%%', '%%%%')", "('abc'):gsub('^.', 'X')",
        "('$name is $age'):gsub('%$(%w+)', {name = 'Ann', age = 7})", "('$x $y'):gsub('%$(%w+)', {x = false})",
        "('a b c'):gsub('%a', function (c) if c ~= 'b' then return c:upper() end end)",
        "('abc'):gsub('b', 2)", "('abc'):gsub('(b)()', '%2')", "('aaa'):gsub('a', 'b', -1)",
        "('abc'):gsub('b', '%0%0', 0)",
        // the library's errors
        "('a'):find('%')", "('a'):find('[a')", "('a'):find('[a%')", "('a'):match('%f')", "('a'):match('%1')",
        "('a'):match('(a)%2')", "('a'):match('a)')", "('a'):match('%b')", "('a'):gsub('(a', '%1')",
        "('a'):match(('()'):rep(33))", "('a'):match(('(a'):rep(201))", "('a'):gsub('a', true)",
        "('a'):gsub('a', '%2')", "('a'):gsub('a', '%x')", "('a'):gsub('a', '%')", "('a'):gsub('a', {a = {}})",
        "('a'):gsub('a', function () return {} end)", "string.find()", "string.gmatch('a')", "('a'):find('a', 'x')",
    };
    lua_State* stock = luaL_newstate();
    luaL_openlibs(stock);
    LuaState ours{LuaState::Budget()};
    for (const std::string& expression : cases) {
        ours.StartSlice();
        EXPECT_EQ(Shown(stock, expression), Shown(ours.get(), expression)) << expression;
    }
    lua_close(stock);
}

// A pattern that backtracks without end is stopped by the script's budgets
// as a loop in Lua is, also when the script catches the error.
TEST(LuaStrings, BacktrackingPatternsAreStoppedByTheBudgets) {
    struct Case {
        const char* source;
        LuaState::Budget budget;
        const char* error;
    };
    LuaState::Budget shortSlice;
    shortSlice.slice = std::chrono::milliseconds(200);
    LuaState::Budget fewInstructions;
    fewInstructions.instructions = 2000000;
    const std::vector<Case> cases = {
        {"return string.rep('a', 30000):find('.-.-.-.-.-.-b')", shortSlice, "ms without waiting"},
        {"while true do pcall(string.match, string.rep('a', 30000), '.-.-.-.-.-.-b') end", shortSlice,
         "ms without waiting"},
        {"for w in string.rep('a', 30000):gmatch('.-.-.-.-b') do end", fewInstructions, "2000000 instructions"},
        {"return string.rep('a', 30000):gsub('a*a*a*a*b', 'x')", fewInstructions, "2000000 instructions"},
    };
    for (const Case& c : cases) {
        LuaState state(c.budget);
        state.StartSlice();
        lua_State* lua = state.get();
        ASSERT_EQ(LUA_OK, luaL_loadstring(lua, c.source));
        EXPECT_NE(LUA_OK, lua_pcall(lua, 0, 0, 0)) << c.source;
        const std::string error = lua_tostring(lua, -1) != nullptr ? lua_tostring(lua, -1) : "";
        EXPECT_NE(std::string::npos, error.find(c.error)) << c.source << ": " << error;
    }
}

} // namespace
