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

    // The most keys one call presses: each is a whole event for the page,
    // and an editor takes longer for each key the more it holds.
    static constexpr int MaxKeys = 5000;

    // Types text as it is, one key per character. Sends nothing and
    // returns why (empty when sent) for more than MaxKeys characters.
    static QString SendText(QWebPage* page, const QString& text);

    // Presses the keys of a key sequence: whitespace only separates words;
    // a word's characters are typed as they are, and "<Name>" in it is the
    // key Qt calls Key_Name ("<Return>", "<Home>", "<F5>"), after held
    // modifiers as in "<Ctrl+A>" (Ctrl, Control, Alt, Shift, Meta). Sends
    // nothing and returns why (empty when sent) when a word that is
    // "<Name>" alone names no key, or for more than MaxKeys keys.
    static QString SendKeys(QWebPage* page, const QString& keys);

private:
    static QString TooMany();
};

#endif
