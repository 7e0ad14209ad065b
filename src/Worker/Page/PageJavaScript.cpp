#include "Page/PageJavaScript.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QWebFrame>

namespace {

// Gives a value as plain JSON data (a date as its ISO text); undefined for
// undefined, a function and what JSON cannot hold (a circular object).
const char* const PlainJs = "function (v) {"
                            "  if (v === undefined || typeof v === 'function') { return undefined; }"
                            "  try { var t = JSON.stringify(v); return t === undefined ? undefined : JSON.parse(t); }"
                            "  catch (e) { return undefined; }"
                            "}";

} // namespace

QString PageJavaScript::Literal(const QJsonValue& value) {
    return QString::fromUtf8(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
}

QString PageJavaScript::Guarded(const QString& snippet) {
    return QStringLiteral("(function (s) {"
                          "  try { var v = (%1)((0, eval)(s)); return v === undefined ? {ok: true} : {ok: true, value: v}; }"
                          "  catch (e) {"
                          "    return {ok: false, name: String(e && e.name), message: String(e && e.message),"
                          "            text: String(e)};"
                          "  }"
                          "})(%2)")
        .arg(QLatin1String(PlainJs), Literal(snippet));
}

QVariantMap PageJavaScript::Evaluate(QWebFrame* frame, const QString& snippet) {
    const QVariant result = frame->evaluateJavaScript(Guarded(snippet));
    if (result.type() == QVariant::Map) {
        return result.toMap();
    }
    // The wrapper catches every error: only a script the engine stopped at
    // its time limit gives back nothing at all.
    return Interrupted(PastTheLimit());
}

QString PageJavaScript::PastTheLimit() {
    return QStringLiteral("the script was interrupted: it ran past the engine's time limit");
}

QVariantMap PageJavaScript::Interrupted(const QString& why) {
    return {{QStringLiteral("ok"), false},
            {QStringLiteral("name"), QStringLiteral("Interrupted")},
            {QStringLiteral("message"), why},
            {QStringLiteral("text"), why}};
}

QString PageJavaScript::ResumableProgram(const QString& token, const QString& snippet) {
    return QStringLiteral("(function () {"
                          "  var token = '%1', kept = {}, plain = %3;"
                          "  window[token] = null;"
                          "  var splash = {"
                          "    resume: function (value) {"
                          "      if (window[token] !== null) { return; }"
                          "      var p = plain(value); if (p !== undefined) { kept.value = p; }"
                          "      window[token] = {ok: true, result: kept};"
                          "    },"
                          "    error: function (message) {"
                          "      if (window[token] !== null) { return; }"
                          "      window[token] = {ok: false, message: String(message)};"
                          "    },"
                          "    set: function (key, value) { var p = plain(value); if (p !== undefined) { kept[key] = p; } }"
                          "  };"
                          "  %2\n;"
                          "  if (typeof main !== 'function') {"
                          "    splash.error('wait_for_resume(): no main() function defined'); return;"
                          "  }"
                          "  main(splash);"
                          "})()")
        .arg(token, snippet, QLatin1String(PlainJs));
}

QString PageJavaScript::Call(const QString& snippet, const QString& argumentList) {
    return QStringLiteral("(%1).apply(null, %2)").arg(snippet, argumentList);
}

// The engine hands JavaScript's null over as a null variant, which
// QJsonValue::fromVariant would make an empty text.
QJsonValue PageJavaScript::ToJson(const QVariant& value) {
    if (!value.isValid() || value.isNull()) {
        return QJsonValue();
    }
    if (value.type() == QVariant::List) {
        QJsonArray array;
        for (const QVariant& item : value.toList()) {
            array.append(ToJson(item));
        }
        return array;
    }
    if (value.type() == QVariant::Map) {
        QJsonObject object;
        const QVariantMap map = value.toMap();
        for (auto item = map.begin(); item != map.end(); ++item) {
            object.insert(item.key(), ToJson(item.value()));
        }
        return object;
    }
    return QJsonValue::fromVariant(value);
}
