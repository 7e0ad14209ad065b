#ifndef ORVO_WORKER_PAGE_PAGEINPUT_H
#define ORVO_WORKER_PAGE_PAGEINPUT_H

#include <QPointF>
#include <QString>

class QWebPage;

// Mouse and keyboard events sent to a page as a user's would come, to
// whatever element is under the point or has the focus.
class PageInput {
public:
    enum class Mouse { Click, Hover, Press, Release };

    // A click is a press and a release; every kind moves the mouse there
    // first.
    static void SendMouse(QWebPage* page, Mouse what, const QPointF& at);

    // Types text as it is, one key per character.
    static void SendText(QWebPage* page, const QString& text);

    // Presses keys named in keys, separated by spaces: a character as
    // itself, "Return", "Enter", "Tab", "Backspace", "Delete", "Escape",
    // "Space", "Left", "Right", "Up", "Down", "Home", "End", "PageUp",
    // "PageDown", or "F1" to "F12", each after "C-", "M-" or "S-"
    // (Control, Alt, Shift) as held. Sends nothing and returns false, with
    // unknown set, when a name is none of these.
    static bool SendKeys(QWebPage* page, const QString& keys, QString& unknown);
};

#endif
