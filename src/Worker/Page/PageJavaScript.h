#ifndef ORVO_WORKER_PAGE_PAGEJAVASCRIPT_H
#define ORVO_WORKER_PAGE_PAGEJAVASCRIPT_H

#include <QJsonValue>
#include <QString>
#include <QVariantMap>

class QWebFrame;

// JavaScript a script runs in its page. Values leave the page only as
// plain JSON data (a date as its ISO text; undefined, functions and what
// JSON cannot hold, such as the window or a cycle, as no value at all), so
// that converting one never walks a DOM.
class PageJavaScript {
public:
    // Runs snippet in frame's global scope: {ok: true, value} ({ok: true}
    // alone when it has no value) or, for an exception, {ok: false, name,
    // message, text}.
    static QVariantMap Evaluate(QWebFrame* frame, const QString& snippet);
    // The expression whose value is Evaluate's, for any engine.
    static QString Guarded(const QString& snippet);
    // Evaluate's answer for a snippet that was stopped, and why; why for
    // one stopped at the engine's time limit.
    static QVariantMap Interrupted(const QString& why);
    static QString PastTheLimit();

    // The program that runs snippet's function main(splash) with a splash
    // object whose resume(value) sets window[token] to {ok: true, result:
    // {value, and each key given to set(key, value)}} and whose
    // error(message) sets it to {ok: false, message}; the first call
    // counts.
    static QString ResumableProgram(const QString& token, const QString& snippet);

    // A value the page gave (plain data, see Evaluate) as JSON; null stays
    // null.
    static QJsonValue ToJson(const QVariant& value);

    // value as a JavaScript literal (its JSON text).
    static QString Literal(const QJsonValue& value);

    // The expression that applies the function snippet evaluates to, to
    // the arguments of a JSON list.
    static QString Call(const QString& snippet, const QString& argumentList);
};

#endif
