#ifndef ORVO_WORKER_PAGE_PAGEINPUT_H
#define ORVO_WORKER_PAGE_PAGEINPUT_H

#include <QPointF>
#include <QString>

class QWebPage;

// Mouse and keyboard events sent to a QtWebKit page as a user's would
// come, to whatever element is under the point or has the focus.
class PageInput {
public:
    enum class Mouse { Click, Hover, Press, Release };

    // A click is a press and a release; every kind moves the mouse there
    // first.
    static void SendMouse(QWebPage* page, Mouse what, const QPointF& at);

    // Types text as it is, or presses the keys of a key sequence (see
    // KeySequence). Sends nothing and returns why (empty when sent) for
    // input KeySequence does not take.
    static QString SendText(QWebPage* page, const QString& text);
    static QString SendKeys(QWebPage* page, const QString& keys);
};

#endif
