// Values between the scripts' Lua and JSON: the table rules, binary
// objects and the json, base64 and treat libraries.

#include <string>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include "Scripts/LuaState.h"
#include "Scripts/LuaValues.h"

namespace {

class LuaValuesTest : public ::testing::Test {
protected:
    LuaValuesTest() : state(LuaState::Budget()) {
        state.AddModule("json", &LuaValues::OpenJson);
        state.AddModule("base64", &LuaValues::OpenBase64);
        state.AddModule("treat", &LuaValues::OpenTreat);
    }

    // The JSON text of what source returns, or "error: why".
    std::string Json(const std::string& source, LuaValues::Lists lists = LuaValues::Lists::Marked) {
        lua_State* lua = state.get();
        if (luaL_loadstring(lua, source.c_str()) != LUA_OK || lua_pcall(lua, 0, 1, 0) != LUA_OK) {
            const std::string error = lua_tostring(lua, -1);
            lua_pop(lua, 1);
            return "error: " + error;
        }
        QJsonValue value;
        QString error;
        const bool converted = LuaValues::ToJson(lua, -1, value, error, lists);
        lua_pop(lua, 1);
        if (!converted) {
            return "error: " + error.toStdString();
        }
        return QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).toStdString();
    }

    LuaState state;
};

// A table is a JSON array only when marked as one; read by its shape, a
// table with keys 1 to n is one too.
TEST_F(LuaValuesTest, TablesAreListsWhenMarkedAsLists) {
    const struct {
        const char* source;
        const char* marked;
        const char* byShape;
    } cases[] = {
        {"return {1, 'a', true}", R"([{"1":1,"2":"a","3":true}])", R"([[1,"a",true]])"},
        {"return {}", "[{}]", "[{}]"},
        {"return {1, nil, 3}", R"([{"1":1,"3":3}])", R"([{"1":1,"3":3}])"},
        {"return {k = {n = {2}}, [1.5] = 'x'}", R"([{"1.5":"x","k":{"n":{"1":2}}}])",
         R"([{"1.5":"x","k":{"n":[2]}}])"},
        {"return treat.as_array({})", "[[]]", "[[]]"},
        {"return treat.as_array({'a', 'b'})", R"([["a","b"]])", R"([["a","b"]])"},
        {"return treat.as_array({[1] = 'a', [3] = 'c'})", R"([["a",null,"c"]])", R"([["a",null,"c"]])"},
        {"return treat.as_array({[1] = 'a', [1e9] = 'far'})", R"([{"1":"a","1000000000":"far"}])",
         R"([{"1":"a","1000000000":"far"}])"},
        {"return treat.as_array({'a', k = 'v'})", R"([{"1":"a","k":"v"}])", R"([{"1":"a","k":"v"}])"},
        {"return {inner = treat.as_array({{1}})}", R"([{"inner":[{"1":1}]}])", R"([{"inner":[[1]]}])"},
        {"return nil", "[null]", "[null]"},
    };
    for (const auto& c : cases) {
        const std::string source = std::string("local treat = require('treat') ") + c.source;
        EXPECT_EQ(c.marked, Json(source)) << c.source;
        EXPECT_EQ(c.byShape, Json(source, LuaValues::Lists::ByShape)) << c.source;
    }
}

TEST_F(LuaValuesTest, WhatJsonCannotHoldIsRefused) {
    EXPECT_EQ("error: a function has no JSON form", Json("return {f = function () end}"));
    EXPECT_EQ("error: a number that is not finite has no JSON form", Json("return {1 / 0}"));
    EXPECT_NE(std::string::npos, Json("local t = {} t.self = t return t").find("nested more than 100 deep"));
    EXPECT_EQ("error: a table key that is not a string nor a number has no JSON form", Json("return {[true] = 1}"));
}

TEST_F(LuaValuesTest, JsonPushedIntoLuaComesBackTheSame) {
    const QJsonObject original = QJsonDocument::fromJson(
                                     R"({"a": [1, "two", {"b": false}], "c": {"d": 2.5}, "e": "\u00e9"})")
                                     .object();
    LuaValues::Push(state.get(), QJsonValue(original));
    QJsonValue back;
    QString error;
    ASSERT_TRUE(LuaValues::ToJson(state.get(), -1, back, error)) << error.toStdString();
    EXPECT_EQ(QJsonValue(original), back);
}

TEST_F(LuaValuesTest, AnEmptyJsonListStaysAList) {
    LuaValues::Push(state.get(), QJsonValue(QJsonDocument::fromJson(R"({"empty": [], "full": [1]})").object()));
    lua_setglobal(state.get(), "pushed");
    EXPECT_EQ(R"([{"empty":[],"full":[1]}])", Json("return pushed"));
    EXPECT_EQ(R"([{"x":1}])", Json("pushed.empty.x = 1 return pushed.empty")) << "once it has keys, they count";
}

TEST_F(LuaValuesTest, BinaryObjectsHoldBytesAndTheirType) {
    LuaValues::PushBinary(state.get(), QByteArray("\0\1\2", 3), QStringLiteral("application/x-test"));
    QByteArray bytes;
    QString type;
    ASSERT_TRUE(LuaValues::IsBinary(state.get(), -1, bytes, type));
    EXPECT_EQ(QByteArray("\0\1\2", 3), bytes);
    EXPECT_EQ("application/x-test", type.toStdString());
    lua_setglobal(state.get(), "made");
    EXPECT_EQ(R"([{"inside":"AAEC","length":3}])", Json("return {length = #made, inside = made}"));
    EXPECT_EQ(R"([["bytes","text/x"]])",
              Json("local treat = require('treat')\n"
                   "return treat.as_array({treat.as_string(treat.as_binary('bytes', 'text/x'))})"));
    EXPECT_EQ(R"(["plain"])", Json("return require('treat').as_string('plain')"));
    EXPECT_EQ(R"([["bytes","image/x-png"]])",
              Json("local treat = require('treat')\n"
                   "local again = treat.as_binary(treat.as_binary('bytes', 'image/png'), 'image/x-png')\n"
                   "return treat.as_array({treat.as_string(again)})"))
        << "a binary object made again with another type";
}

TEST_F(LuaValuesTest, TheJsonAndBase64LibrariesRoundTrip) {
    EXPECT_EQ(R"([{"back":{"k":[1,2]},"lone":"\"x\"","number":3,"text":"{\"k\":[1,2]}"}])",
              Json("local json = require('json')\n"
                   "local text = json.encode({k = require('treat').as_array({1, 2})})\n"
                   "return {text = text, back = json.decode(text), lone = json.encode('x'),\n"
                   "        number = json.decode('3')}"));
    EXPECT_NE(std::string::npos, Json("return require('json').decode('{')").find("not one JSON value"));
    EXPECT_EQ(R"([["b3J2bw==","orvo"]])", Json("local b = require('base64')\n"
                                               "return require('treat').as_array({b.encode('orvo'), b.decode('b3J2bw==')})"));
    EXPECT_NE(std::string::npos, Json("return require('base64').decode('*')").find("not base64"));
}

} // namespace
