#include "Scripts/QScriptRunner.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QVariantMap>
#include <QUrlQuery>
#include <cmath>

#include "Page/PageJavaScript.h"
#include "Scripts/LuaCall.h"
#include "Scripts/LuaValues.h"

namespace {

const char* const TextType = "text/plain; charset=utf-8";
// How often wait_for_resume looks whether the page's script has resumed.
const int ResumePollMs = 10;
const char* const JsonType = "application/json";

} // namespace

QScriptRunner::QScriptRunner(ScriptPage* page, QObject* parent) : QObject(parent), page(page) {
    page->setParent(this);
    connect(page, &ScriptPage::Loaded, this, &QScriptRunner::OnLoaded);
    connect(page, &ScriptPage::UrlChanged, this, &QScriptRunner::OnUrlChanged);
}

QScriptRunner::~QScriptRunner() = default;

void QScriptRunner::AddMethods(const luaL_Reg* group) {
    groups.push_back(group);
}

void QScriptRunner::Start(const QByteArray& text, const QByteArray& arguments, const LuaState::Budget& budget) {
    state = State::Running;
    lua.reset(new LuaState(budget));
    lua_State* main = lua->get();
    if (main == nullptr) {
        return Fail(QStringLiteral("LUA_INIT_ERROR"), QStringLiteral("the script's state could not be made"));
    }
    lua->AddModule("json", &LuaValues::OpenJson);
    lua->AddModule("base64", &LuaValues::OpenBase64);
    lua->AddModule("treat", &LuaValues::OpenTreat);
    // The chunk is named after its start, as Lua names a string chunk.
    const QByteArray name = text.left(120);
    if (luaL_loadbufferx(main, text.constData(), static_cast<std::size_t>(text.size()), name.constData(), "t")
            != LUA_OK
        || lua_pcall(main, 0, 0, 0) != LUA_OK) {
        return FailWithError(main, QStringLiteral("LUA_INIT_ERROR"));
    }
    lua_getglobal(main, "main");
    if (!lua_isfunction(main, -1)) {
        return Fail(QStringLiteral("LUA_INIT_ERROR"), QStringLiteral("function main is not found"));
    }
    Task& first = NewTask(main, -1, [this](Task& task, bool ok) {
        if (ok) {
            return Succeed(task.thread);
        }
        FailWithError(task.thread, QStringLiteral("LUA_ERROR"));
    });
    lua_pop(main, 1);
    PushSplash(first.thread);
    PushArguments(first.thread, arguments);
    // splash.args is the same table as main's second argument.
    lua_pushliteral(first.thread, "args");
    lua_pushvalue(first.thread, -2);
    lua_rawset(first.thread, -4);
    Resume(first.id, 2);
}

QScriptRunner::Task& QScriptRunner::NewTask(lua_State* from, int index, std::function<void(Task&, bool)> ended) {
    lua_State* main = lua->get();
    std::unique_ptr<Task> task(new Task);
    task->id = ++lastTask;
    task->thread = lua_newthread(main);
    task->reference = luaL_ref(main, LUA_REGISTRYINDEX);
    task->ended = std::move(ended);
    lua_pushvalue(from, index);
    lua_xmove(from, task->thread, 1);
    task->waitTimer.setSingleShot(true);
    const quint64 id = task->id;
    connect(&task->waitTimer, &QTimer::timeout, this, [this, id]() { OnWaitTimer(id); });
    task->resumePoll.setInterval(ResumePollMs);
    connect(&task->resumePoll, &QTimer::timeout, this, [this, id]() { OnResumePoll(id); });
    Task& made = *task;
    tasks[id] = std::move(task);
    return made;
}

QScriptRunner::Task* QScriptRunner::Find(quint64 id) {
    const auto found = tasks.find(id);
    return found == tasks.end() ? nullptr : found->second.get();
}

QScriptRunner::Task* QScriptRunner::TaskOf(lua_State* thread) {
    for (const auto& task : tasks) {
        if (task.second->thread == thread) {
            return task.second.get();
        }
    }
    return nullptr;
}

QScriptRunner::Task& QScriptRunner::Awaits(lua_State* lua, Awaiting what) {
    Task* task = TaskOf(lua);
    if (task == nullptr) {
        LuaCall::RaiseApiError(lua, QStringLiteral("a call that waits cannot be made in this callback"));
    }
    task->awaiting = what;
    return *task;
}

void QScriptRunner::Idle(Task& task) {
    task.awaiting = Awaiting::Nothing;
    task.waitTimer.stop();
    task.resumePoll.stop();
}

std::vector<quint64> QScriptRunner::ChildrenOf(quint64 id) const {
    std::vector<quint64> children;
    for (const auto& task : tasks) {
        if (task.second->parent == id) {
            children.push_back(task.first);
        }
    }
    return children;
}

void QScriptRunner::Drop(quint64 id) {
    for (const quint64 child : ChildrenOf(id)) {
        Drop(child);
    }
    const auto found = tasks.find(id);
    if (found != tasks.end()) {
        luaL_unref(lua->get(), LUA_REGISTRYINDEX, found->second->reference);
        tasks.erase(found);
    }
}

void QScriptRunner::PushArguments(lua_State* thread, const QByteArray& arguments) {
    const QJsonDocument document = QJsonDocument::fromJson(arguments);
    LuaValues::Push(thread, document.isObject() ? QJsonValue(document.object()) : QJsonValue(QJsonObject()));
}

void QScriptRunner::PushSplash(lua_State* thread) {
    static const luaL_Reg methods[] = {{"go", &QScriptRunner::Go},
                                       {"wait", &QScriptRunner::Wait},
                                       {"html", &QScriptRunner::Html},
                                       {"url", &QScriptRunner::Url},
                                       {"set_result_status_code", &QScriptRunner::SetResultStatusCode},
                                       {"set_result_content_type", &QScriptRunner::SetResultContentType},
                                       {"set_result_header", &QScriptRunner::SetResultHeader},
                                       {"wait_for_resume", &QScriptRunner::WaitForResume},
                                       {nullptr, nullptr}};
    lua_newtable(thread);
    lua_pushlightuserdata(thread, this);
    luaL_setfuncs(thread, methods, 1);
    for (const luaL_Reg* group : groups) {
        lua_pushlightuserdata(thread, this);
        luaL_setfuncs(thread, group, 1);
    }
    static const luaL_Reg attributes[] = {
        {"__index", &QScriptRunner::GetAttribute}, {"__newindex", &QScriptRunner::SetAttribute}, {nullptr, nullptr}};
    lua_newtable(thread);
    lua_pushlightuserdata(thread, this);
    luaL_setfuncs(thread, attributes, 1);
    lua_setmetatable(thread, -2);
}

int QScriptRunner::GetAttribute(lua_State* lua) {
    ScriptPage* page = Self(lua)->page;
    const QString name = LuaValues::ToText(lua, 2);
    if (page->HasSwitch(name)) {
        lua_pushboolean(lua, page->Switch(name));
    } else if (name == QLatin1String("resource_timeout")) {
        lua_pushnumber(lua, page->ResourceTimeoutMs() / 1000.0);
    } else if (name == QLatin1String("scroll_position")) {
        const QPoint position = page->ScrollPosition();
        LuaValues::Push(lua, QJsonValue(QJsonObject{{"x", position.x()}, {"y", position.y()}}));
    } else {
        lua_pushnil(lua);
    }
    return 1;
}

int QScriptRunner::SetAttribute(lua_State* lua) {
    ScriptPage* page = Self(lua)->page;
    const QString name = LuaValues::ToText(lua, 2);
    if (page->HasSwitch(name)) {
        const QString refused = page->SetSwitch(name, lua_toboolean(lua, 3) != 0);
        return refused.isEmpty() ? 0 : LuaCall::RaiseApiError(lua, refused);
    }
    if (name == QLatin1String("resource_timeout")) {
        const lua_Number seconds = luaL_checknumber(lua, 3);
        if (!(seconds >= 0 && seconds <= 3600)) {
            return LuaCall::RaiseApiError(
                lua, QStringLiteral("resource_timeout must be from 0 to 3600 seconds (0: none)"));
        }
        page->SetResourceTimeoutMs(static_cast<int>(seconds * 1000));
    } else if (name == QLatin1String("scroll_position")) {
        luaL_checktype(lua, 3, LUA_TTABLE);
        // {x=, y=} or {x, y}.
        lua_getfield(lua, 3, "x");
        if (lua_isnil(lua, -1)) {
            lua_rawgeti(lua, 3, 1);
            lua_replace(lua, -2);
        }
        lua_getfield(lua, 3, "y");
        if (lua_isnil(lua, -1)) {
            lua_rawgeti(lua, 3, 2);
            lua_replace(lua, -2);
        }
        page->SetScrollPosition(QPoint(static_cast<int>(lua_tonumber(lua, -2)), static_cast<int>(lua_tonumber(lua, -1))));
    } else {
        lua_rawset(lua, 1);
    }
    return 0;
}

QScriptRunner* QScriptRunner::Self(lua_State* lua) {
    QScriptRunner* self = static_cast<QScriptRunner*>(lua_touserdata(lua, lua_upvalueindex(1)));
    if (lua_type(lua, 1) != LUA_TTABLE) {
        LuaCall::RaiseApiError(lua, QStringLiteral("call the splash object's methods with ':' (splash:method())"));
    }
    if (self->page->Gone()) {
        LuaCall::RaiseApiError(lua, QStringLiteral("the page is gone"));
    }
    return self;
}

void QScriptRunner::Resume(quint64 id, int values) {
    Task* task = Find(id);
    state = State::Running;
    lua->StartSlice();
    const int status = lua_resume(task->thread, nullptr, values);
    if (state == State::Done) {
        // A callback that ran meanwhile failed the script.
        return;
    }
    state = State::Waiting;
    if (status != LUA_YIELD) {
        const auto ended = std::move(task->ended);
        ended(*task, status == LUA_OK);
    }
}

void QScriptRunner::OnLoaded(bool ok, const QString& failure) {
    for (const auto& item : tasks) {
        Task& task = *item.second;
        if (task.awaiting == Awaiting::Timer && task.cancelOnError && !ok) {
            ResumeLater(task, [](lua_State* lua) {
                lua_pushnil(lua);
                lua_pushliteral(lua, "error");
                return 2;
            });
        } else if (task.awaiting == Awaiting::Load) {
            // go's and set_content's values: true, or nil and why.
            const QByteArray reason = failure.toUtf8();
            ResumeLater(task, [reason](lua_State* lua) {
                if (reason.isEmpty()) {
                    lua_pushboolean(lua, 1);
                    return 1;
                }
                lua_pushnil(lua);
                lua_pushstring(lua, reason.constData());
                return 2;
            });
        }
    }
}

void QScriptRunner::OnUrlChanged() {
    for (const auto& item : tasks) {
        Task& task = *item.second;
        if (task.awaiting == Awaiting::Timer && task.cancelOnRedirect) {
            ResumeLater(task, [](lua_State* lua) {
                lua_pushnil(lua);
                lua_pushliteral(lua, "redirect");
                return 2;
            });
        }
    }
}

void QScriptRunner::OnWaitTimer(quint64 id) {
    Task* task = Find(id);
    if (task->awaiting == Awaiting::Resume) {
        return ResumeLater(*task, [](lua_State* lua) {
            lua_pushnil(lua);
            lua_pushliteral(lua, "error: One shot callback timed out while waiting for resume() or error().");
            return 2;
        });
    }
    if (task->awaiting == Awaiting::Function) {
        // with_timeout's function is left unfinished.
        for (const quint64 child : ChildrenOf(id)) {
            Drop(child);
        }
        return ResumeLater(*task, [](lua_State* lua) {
            lua_pushboolean(lua, 0);
            lua_pushliteral(lua, "timeout_over");
            return 2;
        });
    }
    if (task->awaiting == Awaiting::Timer) {
        ResumeLater(*task, [](lua_State* lua) {
            lua_pushboolean(lua, 1);
            return 1;
        });
    }
}

void QScriptRunner::Succeed(lua_State* main) {
    if (lua_gettop(main) > 1) {
        // Several values go back as one list of them.
        LuaValues::PackAsList(main);
    }
    QByteArray body;
    QString type = TextType;
    if (lua_gettop(main) >= 1 && LuaValues::IsBinary(main, 1, body, type)) {
        // The bytes as they are, with their own type.
    } else if (lua_gettop(main) >= 1 && lua_type(main, 1) == LUA_TSTRING) {
        std::size_t size = 0;
        const char* bytes = lua_tolstring(main, 1, &size);
        body = QByteArray(bytes, static_cast<int>(size));
    } else if (lua_gettop(main) >= 1 && !lua_isnil(main, 1)) {
        QJsonValue value;
        QString error;
        if (!LuaValues::ToJson(main, 1, value, error)) {
            return Fail(QStringLiteral("LUA_CONVERT_ERROR"), QStringLiteral("the result cannot be sent: ") + error);
        }
        body = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
        body = body.mid(1, body.size() - 2);
        type = JsonType;
    }
    QJsonArray headers;
    for (const auto& header : resultHeaders) {
        headers.append(QJsonArray{header.first, header.second});
    }
    QJsonObject detail{
        {"status", resultStatus},
        {"contentType", type == TextType && !resultType.isEmpty() ? resultType : type},
        {"headers", headers}};
    if (body.contains('\0')) {
        // The record's body is text that ends at its first NUL.
        body = body.toBase64();
        detail.insert("encoding", QStringLiteral("base64"));
    }
    Finish(detail, body);
}

void QScriptRunner::Fail(const QString& kind, const QString& message) {
    Finish({{"error",
             QJsonObject{{"type", "ScriptError"}, {"info", QJsonObject{{"type", kind}, {"message", message}}}}}},
           QByteArray());
}

// The error value on top of the script's stack, with where it was raised.
void QScriptRunner::FailWithError(lua_State* where, const QString& kind) {
    QJsonObject info{{"type", kind}};
    QJsonValue raised;
    QString ignored;
    LuaValues::ToJson(where, -1, raised, ignored);
    if (raised.isObject()) {
        // An error object of the API: its own type and message.
        const QJsonObject object = raised.toObject();
        for (auto item = object.begin(); item != object.end(); ++item) {
            info.insert(item.key(), item.value());
        }
        if (!info.contains("error")) {
            info.insert("error", info.value("message"));
        }
    } else {
        QString text = raised.isString() ? raised.toString() : QStringLiteral("(an error that is not a string)");
        if (!lua->Exhausted().empty() && text == QLatin1String("not enough memory")) {
            text = QString::fromStdString(lua->Exhausted());
        }
        static const QRegularExpression located(QStringLiteral("^(\\[string \".*?\"\\]):(\\d+): (.*)$"),
                                                QRegularExpression::DotMatchesEverythingOption);
        const QRegularExpressionMatch match = located.match(text);
        if (match.hasMatch()) {
            info.insert("source", match.captured(1));
            info.insert("line_number", match.captured(2).toInt());
            info.insert("error", match.captured(3));
        } else {
            info.insert("error", text);
        }
        info.insert("message", QStringLiteral("Lua error: ") + text);
    }
    if (!info.contains("line_number")) {
        lua_Debug frame;
        for (int level = 0; lua_getstack(where, level, &frame) != 0; ++level) {
            lua_getinfo(where, "Sl", &frame);
            if (frame.currentline > 0) {
                info.insert("line_number", frame.currentline);
                info.insert("source", QString::fromUtf8(frame.short_src));
                break;
            }
        }
    }
    Finish({{"error", QJsonObject{{"type", "ScriptError"}, {"info", info}}}}, QByteArray());
}

void QScriptRunner::Finish(const QJsonObject& detail, const QByteArray& body) {
    if (state == State::Done) {
        return;
    }
    Stop();
    emit Finished(QJsonDocument(detail).toJson(QJsonDocument::Compact), body);
}

void QScriptRunner::Abandon() {
    Finish({{"error", QJsonObject{{"type", "GlobalTimeoutError"}}}}, QByteArray());
}

void QScriptRunner::Stop() {
    state = State::Done;
    for (const auto& task : tasks) {
        Idle(*task.second);
    }
    laters.clear();
}

int QScriptRunner::Go(lua_State* lua) {
    QScriptRunner* self = Self(lua);
    const LuaCall arguments(lua);
    const QString address = arguments.Text("url", 1, true);
    const QUrl base(arguments.Text("baseurl", 2, false));
    const QList<QPair<QByteArray, QByteArray>> headers = LuaCall::Headers(lua, arguments.Push("headers", 3));
    QString method = arguments.Text("http_method", 4, false).toUpper();
    QByteArray body = arguments.Text("body", 5, false).toUtf8();
    const int form = arguments.Push("formdata", 6);
    const QUrl url(address);
    const QString scheme = url.scheme().toLower();
    const bool loadable = address == QLatin1String("about:blank") || scheme == QLatin1String("http")
                          || scheme == QLatin1String("https")
                          || (scheme == QLatin1String("file") && self->page->FileUrlsAllowed());
    if (!url.isValid() || url.isRelative() || !loadable) {
        return LuaCall::RaiseApiError(lua, QStringLiteral("go: %1 is not an http or https URL").arg(address));
    }
    ScriptPage::Navigation navigation;
    navigation.url = url;
    navigation.base = base;
    navigation.headers = headers;
    if (!lua_isnil(lua, form)) {
        QUrlQuery query;
        for (const auto& field : LuaCall::Headers(lua, form)) {
            query.addQueryItem(QString::fromUtf8(field.first), QString::fromUtf8(field.second));
        }
        body = query.toString(QUrl::FullyEncoded).toUtf8();
        method = method.isEmpty() ? QStringLiteral("POST") : method;
        navigation.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/x-www-form-urlencoded")));
    }
    if (!method.isEmpty() && method != QLatin1String("GET") && method != QLatin1String("POST")) {
        return LuaCall::RaiseApiError(lua, QStringLiteral("go: http_method must be GET or POST"));
    }
    navigation.post = method == QLatin1String("POST");
    navigation.body = body;
    if (!base.isEmpty() && (!base.isValid() || base.isRelative() || navigation.post)) {
        return LuaCall::RaiseApiError(lua, QStringLiteral("go: baseurl must be an absolute URL, for a GET"));
    }
    if (self->page->NavigationLocked()) {
        // The page would refuse to go: said at once rather than waited for.
        lua_pushnil(lua);
        lua_pushliteral(lua, "navigation_locked");
        return 2;
    }
    self->Awaits(lua, Awaiting::Load);
    self->page->Navigate(navigation);
    return lua_yield(lua, 0);
}

int QScriptRunner::Wait(lua_State* lua) {
    QScriptRunner* self = Self(lua);
    const LuaCall arguments(lua);
    const int time = arguments.Push("time", 1);
    if (lua_type(lua, time) != LUA_TNUMBER || !(lua_tonumber(lua, time) >= 0)
        || !std::isfinite(lua_tonumber(lua, time))) {
        return LuaCall::RaiseApiError(lua, QStringLiteral("wait: time must be a number of seconds, 0 or more"));
    }
    const double seconds = lua_tonumber(lua, time);
    const bool cancelOnRedirect = arguments.Flag("cancel_on_redirect", 2, false);
    const bool cancelOnError = arguments.Flag("cancel_on_error", 3, true);
    Task& task = self->Awaits(lua, Awaiting::Timer);
    task.cancelOnRedirect = cancelOnRedirect;
    task.cancelOnError = cancelOnError;
    task.waitTimer.start(static_cast<int>(std::min(seconds * 1000, 24.0 * 3600 * 1000)));
    return lua_yield(lua, 0);
}

int QScriptRunner::Html(lua_State* lua) {
    const QByteArray html = Self(lua)->page->Html().toUtf8();
    lua_pushlstring(lua, html.constData(), static_cast<std::size_t>(html.size()));
    return 1;
}

int QScriptRunner::Url(lua_State* lua) {
    lua_pushstring(lua, Self(lua)->page->Url().toString().toUtf8().constData());
    return 1;
}

int QScriptRunner::SetResultStatusCode(lua_State* lua) {
    QScriptRunner* self = Self(lua);
    const lua_Number code = luaL_checknumber(lua, 2);
    if (code < 200 || code > 999 || code != std::floor(code)) {
        return LuaCall::RaiseApiError(
            lua, QStringLiteral("set_result_status_code: the code must be a whole number from 200 to 999"));
    }
    self->resultStatus = static_cast<int>(code);
    return 0;
}

int QScriptRunner::SetResultContentType(lua_State* lua) {
    const QString type = LuaCall(lua).Text("content_type", 1, true);
    if (type.contains(QRegularExpression(QStringLiteral("[\\r\\n\\x00]")))) {
        return LuaCall::RaiseApiError(lua, QStringLiteral("set_result_content_type: the type must be one line"));
    }
    Self(lua)->resultType = type;
    return 0;
}

int QScriptRunner::SetResultHeader(lua_State* lua) {
    QScriptRunner* self = Self(lua);
    const LuaCall arguments(lua);
    const QString name = arguments.Text("name", 1, true);
    // A number stands for its text, as in Lua's own string functions.
    const int given = arguments.Push("value", 2);
    const QString value = lua_type(lua, given) == LUA_TNUMBER ? QString::fromUtf8(lua_tostring(lua, given))
                                                               : arguments.Text("value", 2, true);
    if (name.isEmpty() || name.contains(QRegularExpression(QStringLiteral("[^!#$%&'*+.^_`|~0-9A-Za-z-]")))
        || value.contains(QLatin1Char('\r')) || value.contains(QLatin1Char('\n'))) {
        return LuaCall::RaiseApiError(
            lua, QStringLiteral("set_result_header: the name must be a token and the value one line"));
    }
    self->resultHeaders.append({name, value});
    return 0;
}

// A Lua function that calls the JavaScript function snippet evaluates to,
// its arguments and result going through JSON.
// Runs the JavaScript main(splash) of snippet and waits until it calls
// splash.resume(value) or splash.error(message), or the timeout passes.
int QScriptRunner::WaitForResume(lua_State* lua) {
    QScriptRunner* self = Self(lua);
    const LuaCall arguments(lua);
    const QString snippet = arguments.Text("snippet", 1, true);
    const double timeout = arguments.Number("timeout", 2, 0, 0, 24 * 3600);
    Task& task = self->Awaits(lua, Awaiting::Nothing);
    task.resumeToken = QStringLiteral("__orvoResume%1").arg(++self->resumeCount);
    const QString program = PageJavaScript::ResumableProgram(task.resumeToken, snippet);
    const QVariantMap started = self->page->Evaluate(program);
    if (!started.value(QStringLiteral("ok")).toBool()) {
        // As an error of the running snippet: nil and why.
        self->Idle(task);
        const QString message = QStringLiteral("error: ") + started.value(QStringLiteral("text")).toString();
        lua_pushnil(lua);
        lua_pushstring(lua, message.toUtf8().constData());
        return 2;
    }
    task.awaiting = Awaiting::Resume;
    task.resumePoll.start();
    if (timeout > 0) {
        task.waitTimer.start(static_cast<int>(timeout * 1000));
    }
    return lua_yield(lua, 0);
}

void QScriptRunner::OnResumePoll(quint64 id) {
    Task* task = Find(id);
    if (task->awaiting != Awaiting::Resume || page->Gone()) {
        return;
    }
    const QVariant outcome =
        page->Evaluate(QStringLiteral("window['%1']").arg(task->resumeToken)).value(QStringLiteral("value"));
    if (!outcome.isValid() || outcome.isNull() || outcome.type() != QVariant::Map) {
        return;
    }
    const QVariantMap map = outcome.toMap();
    if (map.value(QStringLiteral("ok")).toBool()) {
        const QVariant result = map.value(QStringLiteral("result"));
        return ResumeLater(*task, [result](lua_State* lua) {
            LuaValues::PushFromPage(lua, result);
            return 1;
        });
    }
    const QString message = QStringLiteral("error: ") + map.value(QStringLiteral("message")).toString();
    ResumeLater(*task, [message](lua_State* lua) {
        lua_pushnil(lua);
        lua_pushstring(lua, message.toUtf8().constData());
        return 2;
    });
}

void QScriptRunner::RunCallback(int reference, const std::function<void(lua_State*)>& push,
                                const std::function<void()>& after) {
    if (state == State::Done || reference == LUA_NOREF) {
        return;
    }
    lua_State* main = lua->get();
    lua_State* callback = lua_newthread(main);
    lua_rawgeti(callback, LUA_REGISTRYINDEX, reference);
    push(callback);
    if (state != State::Running) {
        lua->StartSlice();
    }
    if (lua_pcall(callback, 1, 0, 0) != LUA_OK) {
        FailWithError(callback, QStringLiteral("LUA_ERROR"));
    }
    if (after) {
        after();
    }
    lua_pop(main, 1);
}
