#include "Page/QEngineGaps.h"

#include <utility>
#include <vector>

#include <QRegularExpression>
#include <QVariantMap>
#include <QWebFrame>

#include "Network/QMyNetworkAccessManager.h"

namespace {

// Whether the document has a module script or an import map, and the text
// of its style elements and style attributes, one per line.
const char* const DocumentScript =
    "(function () {"
    "  var texts = [];"
    "  [].forEach.call(document.querySelectorAll('style'), function (e) { texts.push(e.textContent); });"
    "  [].forEach.call(document.querySelectorAll('[style]'), function (e) { texts.push(e.getAttribute('style')); });"
    "  return {modules: !!document.querySelector('script[type=module], script[type=importmap]'),"
    "          styles: texts.join('\\n')};"
    "})()";

} // namespace

QEngineGaps::QEngineGaps(QWebPage* page, QMyNetworkAccessManager* network, QObject* parent)
    : QObject(parent), page(page) {
    connect(page, &QWebPage::consoleMessageReceived, this, &QEngineGaps::OnConsoleMessage);
    network->WatchStyleSheets();
    connect(network, &QMyNetworkAccessManager::StyleSheetLoaded, this, &QEngineGaps::OnStyleSheet);
}

QStringList QEngineGaps::Found() {
    if (!brokenText) {
        Add(syntaxErrors);
        syntaxErrors.clear();
    }
    if (page != nullptr && page->mainFrame() != nullptr) {
        const QVariantMap document = page->mainFrame()->evaluateJavaScript(QLatin1String(DocumentScript)).toMap();
        if (document.value(QStringLiteral("modules")).toBool()) {
            Add({QStringLiteral("module script")});
        }
        Add(InStyle(document.value(QStringLiteral("styles")).toString()));
    }
    return gaps;
}

// Grid is a display value; gap, row-gap and grid-gap are grid's and flex's
// (column-gap alone is also the columns' the engine has); min( and max(
// are functions, not min-width.
QStringList QEngineGaps::InStyle(const QString& text) {
    static const std::vector<std::pair<QRegularExpression, QString>> rules = [] {
        const auto rule = [](const char* pattern, const char* name) {
            return std::make_pair(QRegularExpression(QString::fromLatin1(pattern),
                                                     QRegularExpression::CaseInsensitiveOption),
                                  QString::fromLatin1(name));
        };
        return std::vector<std::pair<QRegularExpression, QString>>{
            rule("display\\s*:\\s*(inline-)?grid\\b", "CSS grid"),
            rule("(^|[\\s;{])(row-|grid-(row-|column-)?)?gap\\s*:", "CSS gap"),
            rule("(^|[\\s;{])aspect-ratio\\s*:", "CSS aspect-ratio"),
            rule(":(is|where|has)\\(", "CSS :is/:where/:has"),
            rule("\\b(clamp|min|max)\\(", "CSS clamp/min/max"),
            rule("(^|[\\s;{])inset\\s*:", "CSS inset"),
        };
    }();
    QStringList found;
    for (const auto& rule : rules) {
        if (rule.first.match(text).hasMatch()) {
            found << rule.second;
        }
    }
    return found;
}

QEngineGaps::ScriptError QEngineGaps::Classify(const QString& error) {
    // Globals and methods today's browsers define that the engine lacks,
    // of those pages' scripts commonly use.
    static const QStringList globals = {
        "AbortController", "AbortSignal", "AggregateError", "Atomics", "BigInt", "BigInt64Array", "BigUint64Array",
        "BroadcastChannel", "CompressionStream", "CustomElementRegistry", "DOMMatrix", "DOMPoint", "DOMRect",
        "DecompressionStream", "FinalizationRegistry", "IntersectionObserver", "IntersectionObserverEntry",
        "PerformanceObserver", "Proxy", "ResizeObserver", "ResizeObserverEntry", "Response", "ShadowRoot",
        "TextDecoder", "TextEncoder", "TransformStream", "URLSearchParams", "WeakRef", "cancelIdleCallback",
        "customElements", "fetch", "globalThis", "queueMicrotask", "requestIdleCallback", "structuredClone",
        "visualViewport"};
    static const QStringList methods = {
        "allSettled", "animate", "any", "at", "attachShadow", "checkVisibility", "entries", "findLast",
        "findLastIndex", "finally", "flat", "flatMap", "fromEntries", "getAnimations", "getRootNode", "groupBy",
        "hasOwn", "matchAll", "padEnd", "padStart", "replaceAll", "replaceChildren", "scrollBy", "scrollTo",
        "toReversed", "toSorted", "toSpliced", "toggleAttribute", "trimEnd", "trimStart", "values",
        "withResolvers"};
    // '=' alone is where an HTML-escaped comparison ("a &lt;= b") breaks.
    static const QRegularExpression brokenSyntax(
        QStringLiteral("^SyntaxError: (Unexpected token '[<&;]'|Unexpected token '='$|Unexpected EOF)"));
    static const QRegularExpression missingGlobal(QStringLiteral("^ReferenceError: Can't find variable: ([\\w$]+)"));
    static const QRegularExpression missingMethod(QStringLiteral("^TypeError: (.*\\.)?([\\w$]+) is not a function"));
    if (error.startsWith(QLatin1String("SyntaxError: "))) {
        return brokenSyntax.match(error).hasMatch() ? ScriptError::BrokenText : ScriptError::Syntax;
    }
    const QRegularExpressionMatch global = missingGlobal.match(error);
    const QRegularExpressionMatch method = missingMethod.match(error);
    const bool lacked = (global.hasMatch() && globals.contains(global.captured(1)))
                        || (method.hasMatch() && methods.contains(method.captured(2)));
    return lacked ? ScriptError::Api : ScriptError::Other;
}

void QEngineGaps::OnConsoleMessage(QWebPage::MessageSource source, QWebPage::MessageLevel level,
                                   const QString& message, int, const QString&) {
    if (source != QWebPage::JSMessageSource || level != QWebPage::ErrorMessageLevel) {
        return;
    }
    switch (Classify(message)) {
    case ScriptError::Syntax:
        syntaxErrors << QStringLiteral("script error: ") + message;
        break;
    case ScriptError::Api:
        Add({QStringLiteral("script error: ") + message});
        break;
    case ScriptError::BrokenText:
        brokenText = true;
        break;
    case ScriptError::Other:
        break;
    }
}

void QEngineGaps::OnStyleSheet(const QByteArray& text) {
    Add(InStyle(QString::fromUtf8(text)));
}

void QEngineGaps::Add(const QStringList& found) {
    for (const QString& gap : found) {
        if (gaps.size() < MaxGaps && !gaps.contains(gap)) {
            gaps << gap;
        }
    }
}
