#include "Scripts/LuaValues.h"

#include <cmath>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QVariantList>
#include <QVariantMap>

#include "Page/PageJavaScript.h"

namespace {

const char* const BinaryType = "orvo.binary";
const char* const ArrayType = "orvo.array";
// The metatable field that names an object of the page.
const char* const ObjectName = "__name";

// Whether the value at index has the registry's metatable called type.
bool HasMetatable(lua_State* lua, int index, const char* type) {
    if (!lua_getmetatable(lua, index)) {
        return false;
    }
    luaL_getmetatable(lua, type);
    const bool same = lua_rawequal(lua, -1, -2) != 0;
    lua_pop(lua, 2);
    return same;
}

// Whether the table at index is an object of the page; its name.
bool IsPageObject(lua_State* lua, int index, QString& name) {
    if (!lua_getmetatable(lua, index)) {
        return false;
    }
    lua_pushstring(lua, ObjectName);
    lua_rawget(lua, -2);
    const bool named = lua_type(lua, -1) == LUA_TSTRING;
    if (named) {
        name = QString::fromUtf8(lua_tostring(lua, -1));
    }
    lua_pop(lua, 2);
    return named;
}

// Pushes the metatable called type, made on first use.
void PushMetatable(lua_State* lua, const char* type) {
    if (luaL_newmetatable(lua, type) && type == BinaryType) {
        lua_pushcfunction(lua, [](lua_State* inner) -> int {
            lua_getfield(inner, 1, "bytes");
            lua_pushinteger(inner, static_cast<lua_Integer>(lua_rawlen(inner, -1)));
            return 1;
        });
        lua_setfield(lua, -2, "__len");
    }
}

void PushText(lua_State* lua, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    lua_pushlstring(lua, bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// The key at index (a table key) as JSON object text; false for a key
// that is neither a string nor a number.
bool KeyText(lua_State* lua, int index, QString& key) {
    if (lua_type(lua, index) == LUA_TSTRING) {
        std::size_t size = 0;
        const char* text = lua_tolstring(lua, index, &size);
        key = QString::fromUtf8(text, static_cast<int>(size));
        return true;
    }
    if (lua_type(lua, index) == LUA_TNUMBER) {
        const lua_Number number = lua_tonumber(lua, index);
        key = number == std::floor(number) && std::fabs(number) < 1e15 ? QString::number(static_cast<qint64>(number))
                                                                       : QString::number(number, 'g', 17);
        return true;
    }
    return false;
}

// Whether the table at index has only whole keys from 1 to n, n > 0, and
// every one of them (or, with gaps, at least half of them: the rest are
// nil items); n is set.
bool IsList(lua_State* lua, int index, bool gaps, int& n) {
    int count = 0;
    lua_Number largest = 0;
    lua_pushnil(lua);
    while (lua_next(lua, index) != 0) {
        lua_pop(lua, 1);
        const bool whole = lua_type(lua, -1) == LUA_TNUMBER && lua_tonumber(lua, -1) >= 1
                           && lua_tonumber(lua, -1) == std::floor(lua_tonumber(lua, -1));
        if (!whole) {
            lua_pop(lua, 1);
            return false;
        }
        largest = std::max(largest, lua_tonumber(lua, -1));
        ++count;
    }
    if (count == 0 || largest > (gaps ? 2.0 * count : count)) {
        return false;
    }
    n = static_cast<int>(largest);
    return true;
}

bool IsEmpty(lua_State* lua, int index) {
    lua_pushnil(lua);
    if (lua_next(lua, index) == 0) {
        return true;
    }
    lua_pop(lua, 2);
    return false;
}

int JsonEncode(lua_State* lua) {
    luaL_checkany(lua, 1);
    QJsonValue value;
    QString error;
    if (!LuaValues::ToJson(lua, 1, value, error)) {
        return luaL_error(lua, "json.encode: %s", error.toUtf8().constData());
    }
    const QJsonDocument document = value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    if (value.isArray() || value.isObject()) {
        PushText(lua, QString::fromUtf8(document.toJson(QJsonDocument::Compact)));
        return 1;
    }
    // A lone value: written inside a list, then taken out of it.
    const QByteArray list = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    const QByteArray bare = list.mid(1, list.size() - 2);
    lua_pushlstring(lua, bare.constData(), static_cast<std::size_t>(bare.size()));
    return 1;
}

int JsonDecode(lua_State* lua) {
    std::size_t size = 0;
    const char* text = luaL_checklstring(lua, 1, &size);
    // Wrapped in a list, so that a lone value decodes too.
    const QByteArray wrapped = "[" + QByteArray(text, static_cast<int>(size)) + "]";
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(wrapped, &error);
    if (error.error != QJsonParseError::NoError || document.array().size() != 1) {
        return luaL_error(lua, "json.decode: the text is not one JSON value");
    }
    LuaValues::Push(lua, document.array().at(0));
    return 1;
}

// The bytes of a string, or of a binary object (to give it another type).
int TreatAsBinary(lua_State* lua) {
    QByteArray bytes;
    QString ignored;
    if (!LuaValues::IsBinary(lua, 1, bytes, ignored)) {
        std::size_t size = 0;
        const char* text = luaL_checklstring(lua, 1, &size);
        bytes = QByteArray(text, static_cast<int>(size));
    }
    const char* type = luaL_optstring(lua, 2, "application/octet-stream");
    LuaValues::PushBinary(lua, bytes, QString::fromUtf8(type));
    return 1;
}

int TreatAsString(lua_State* lua) {
    QByteArray bytes;
    QString type;
    if (LuaValues::IsBinary(lua, 1, bytes, type)) {
        lua_pushlstring(lua, bytes.constData(), static_cast<std::size_t>(bytes.size()));
        PushText(lua, type);
        return 2;
    }
    luaL_checkstring(lua, 1);
    lua_pushvalue(lua, 1);
    return 1;
}

int TreatAsArray(lua_State* lua) {
    luaL_checktype(lua, 1, LUA_TTABLE);
    lua_settop(lua, 1);
    LuaValues::MarkAsList(lua, 1);
    return 1;
}

int Base64Encode(lua_State* lua) {
    std::size_t size = 0;
    const char* bytes = luaL_checklstring(lua, 1, &size);
    const QByteArray text = QByteArray(bytes, static_cast<int>(size)).toBase64();
    lua_pushlstring(lua, text.constData(), static_cast<std::size_t>(text.size()));
    return 1;
}

int Base64Decode(lua_State* lua) {
    std::size_t size = 0;
    const char* text = luaL_checklstring(lua, 1, &size);
    const auto decoded = QByteArray::fromBase64Encoding(QByteArray(text, static_cast<int>(size)),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        return luaL_error(lua, "base64.decode: the text is not base64");
    }
    lua_pushlstring(lua, decoded.decoded.constData(), static_cast<std::size_t>(decoded.decoded.size()));
    return 1;
}

} // namespace

void LuaValues::Push(lua_State* lua, const QJsonValue& value) {
    luaL_checkstack(lua, 3, "the value is nested too deep");
    switch (value.type()) {
    case QJsonValue::Bool:
        lua_pushboolean(lua, value.toBool());
        return;
    case QJsonValue::Double:
        lua_pushnumber(lua, value.toDouble());
        return;
    case QJsonValue::String:
        PushText(lua, value.toString());
        return;
    case QJsonValue::Array: {
        const QJsonArray array = value.toArray();
        lua_createtable(lua, array.size(), 0);
        for (int k = 0; k < array.size(); ++k) {
            Push(lua, array.at(k));
            lua_rawseti(lua, -2, k + 1);
        }
        MarkAsList(lua, -1);
        return;
    }
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        lua_createtable(lua, 0, object.size());
        for (auto item = object.begin(); item != object.end(); ++item) {
            PushText(lua, item.key());
            Push(lua, item.value());
            lua_rawset(lua, -3);
        }
        return;
    }
    default:
        lua_pushnil(lua);
    }
}

void LuaValues::NameObject(lua_State* lua, const char* what) {
    lua_pushstring(lua, what);
    lua_setfield(lua, -2, ObjectName);
}

void LuaValues::MarkAsList(lua_State* lua, int index) {
    const int at = lua_absindex(lua, index);
    PushMetatable(lua, ArrayType);
    lua_setmetatable(lua, at);
}

void LuaValues::PackAsList(lua_State* lua) {
    const int count = lua_gettop(lua);
    lua_createtable(lua, count, 0);
    for (int k = 1; k <= count; ++k) {
        lua_pushvalue(lua, k);
        lua_rawseti(lua, -2, k);
    }
    MarkAsList(lua, -1);
    lua_replace(lua, 1);
    lua_settop(lua, 1);
}

void LuaValues::PushFromPage(lua_State* lua, const QVariant& value) {
    if (!value.isValid()) {
        lua_pushnil(lua);
    } else if (value.isNull()) {
        lua_pushliteral(lua, "");
    } else if (value.type() == QVariant::List) {
        const QVariantList list = value.toList();
        luaL_checkstack(lua, 3, "the value is nested too deep");
        lua_createtable(lua, list.size(), 0);
        for (int k = 0; k < list.size(); ++k) {
            PushFromPage(lua, list.at(k));
            lua_rawseti(lua, -2, k + 1);
        }
        MarkAsList(lua, -1);
    } else if (value.type() == QVariant::Map) {
        const QVariantMap map = value.toMap();
        luaL_checkstack(lua, 3, "the value is nested too deep");
        lua_createtable(lua, 0, map.size());
        for (auto item = map.begin(); item != map.end(); ++item) {
            PushText(lua, item.key());
            PushFromPage(lua, item.value());
            lua_rawset(lua, -3);
        }
    } else {
        Push(lua, PageJavaScript::ToJson(value));
    }
}

bool LuaValues::ToJson(lua_State* lua, int index, QJsonValue& out, QString& error, Lists lists) {
    return ToJson(lua, lua_absindex(lua, index), 0, lists, out, error);
}

bool LuaValues::ToJson(lua_State* lua, int index, int depth, Lists lists, QJsonValue& out, QString& error) {
    switch (lua_type(lua, index)) {
    case LUA_TNIL:
    case LUA_TNONE:
        out = QJsonValue();
        return true;
    case LUA_TBOOLEAN:
        out = lua_toboolean(lua, index) != 0;
        return true;
    case LUA_TNUMBER: {
        const lua_Number number = lua_tonumber(lua, index);
        if (!std::isfinite(number)) {
            error = QStringLiteral("a number that is not finite has no JSON form");
            return false;
        }
        out = number;
        return true;
    }
    case LUA_TSTRING: {
        std::size_t size = 0;
        const char* text = lua_tolstring(lua, index, &size);
        out = QString::fromUtf8(text, static_cast<int>(size));
        return true;
    }
    case LUA_TTABLE:
        break;
    default:
        error = QStringLiteral("a %1 has no JSON form").arg(QString::fromLatin1(luaL_typename(lua, index)));
        return false;
    }
    QByteArray bytes;
    QString type;
    if (IsBinary(lua, index, bytes, type)) {
        out = QString::fromLatin1(bytes.toBase64());
        return true;
    }
    QString pageObject;
    if (IsPageObject(lua, index, pageObject)) {
        error = pageObject + QStringLiteral(" has no JSON form");
        return false;
    }
    if (depth >= MaxDepth) {
        error = QStringLiteral("tables are nested more than %1 deep (or hold themselves)").arg(MaxDepth);
        return false;
    }
    luaL_checkstack(lua, 4, "the value is nested too deep");
    int n = 0;
    const bool marked = HasMetatable(lua, index, ArrayType);
    if ((marked && (IsEmpty(lua, index) || IsList(lua, index, true, n)))
        || (lists == Lists::ByShape && IsList(lua, index, false, n))) {
        QJsonArray array;
        for (int k = 1; k <= n; ++k) {
            lua_rawgeti(lua, index, k);
            QJsonValue item;
            const bool converted = ToJson(lua, lua_gettop(lua), depth + 1, lists, item, error);
            lua_pop(lua, 1);
            if (!converted) {
                return false;
            }
            array.append(item);
        }
        out = array;
        return true;
    }
    QJsonObject object;
    lua_pushnil(lua);
    while (lua_next(lua, index) != 0) {
        QString key;
        QJsonValue item;
        if (!KeyText(lua, -2, key)) {
            lua_pop(lua, 2);
            error = QStringLiteral("a table key that is not a string nor a number has no JSON form");
            return false;
        }
        if (!ToJson(lua, lua_gettop(lua), depth + 1, lists, item, error)) {
            lua_pop(lua, 2);
            return false;
        }
        object.insert(key, item);
        lua_pop(lua, 1);
    }
    out = object;
    return true;
}

QString LuaValues::ToText(lua_State* lua, int index) {
    std::size_t size = 0;
    const char* text = lua_tolstring(lua, index, &size);
    return text == nullptr ? QString() : QString::fromUtf8(text, static_cast<int>(size));
}

void LuaValues::PushBinary(lua_State* lua, const QByteArray& bytes, const QString& type) {
    lua_createtable(lua, 0, 2);
    lua_pushlstring(lua, bytes.constData(), static_cast<std::size_t>(bytes.size()));
    lua_setfield(lua, -2, "bytes");
    PushText(lua, type);
    lua_setfield(lua, -2, "content_type");
    PushMetatable(lua, BinaryType);
    lua_setmetatable(lua, -2);
}

bool LuaValues::IsBinary(lua_State* lua, int index, QByteArray& bytes, QString& type) {
    if (lua_type(lua, index) != LUA_TTABLE || !HasMetatable(lua, index, BinaryType)) {
        return false;
    }
    const int at = lua_absindex(lua, index);
    lua_getfield(lua, at, "bytes");
    lua_getfield(lua, at, "content_type");
    std::size_t size = 0;
    const char* data = lua_tolstring(lua, -2, &size);
    bytes = data != nullptr ? QByteArray(data, static_cast<int>(size)) : QByteArray();
    type = ToText(lua, -1);
    lua_pop(lua, 2);
    return true;
}

int LuaValues::OpenTreat(lua_State* lua) {
    static const luaL_Reg functions[] = {
        {"as_binary", TreatAsBinary}, {"as_string", TreatAsString}, {"as_array", TreatAsArray}, {nullptr, nullptr}};
    luaL_newlib(lua, functions);
    return 1;
}

int LuaValues::OpenJson(lua_State* lua) {
    static const luaL_Reg functions[] = {{"encode", JsonEncode}, {"decode", JsonDecode}, {nullptr, nullptr}};
    luaL_newlib(lua, functions);
    return 1;
}

int LuaValues::OpenBase64(lua_State* lua) {
    static const luaL_Reg functions[] = {{"encode", Base64Encode}, {"decode", Base64Decode}, {nullptr, nullptr}};
    luaL_newlib(lua, functions);
    return 1;
}
