#include "Page/QEngineGaps.h"

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
// (column-gap alone is also the columns' the engine has).
QStringList QEngineGaps::InStyle(const QString& text) {
    static const QRegularExpression grid(QStringLiteral("display\\s*:\\s*(inline-)?grid\\b"),
                                         QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression gap(QStringLiteral("(^|[\\s;{])(row-|grid-(row-|column-)?)?gap\\s*:"),
                                        QRegularExpression::CaseInsensitiveOption);
    QStringList found;
    if (grid.match(text).hasMatch()) {
        found << QStringLiteral("CSS grid");
    }
    if (gap.match(text).hasMatch()) {
        found << QStringLiteral("CSS gap");
    }
    return found;
}

void QEngineGaps::OnConsoleMessage(QWebPage::MessageSource source, QWebPage::MessageLevel level,
                                   const QString& message, int, const QString&) {
    if (source == QWebPage::JSMessageSource && level == QWebPage::ErrorMessageLevel) {
        Add({QStringLiteral("script error: ") + message});
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
