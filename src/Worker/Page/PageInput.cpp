#include "Page/PageInput.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QVector>
#include <QWebPage>

#include "Page/KeySequence.h"

namespace {

void Press(QWebPage* page, const KeySequence::Key& key) {
    QKeyEvent press(QEvent::KeyPress, key.code, key.modifiers, key.text);
    page->event(&press);
    QKeyEvent release(QEvent::KeyRelease, key.code, key.modifiers, key.text);
    page->event(&release);
}

// Nothing is pressed unless the whole input can be: why says it cannot.
QString PressAll(QWebPage* page, const QString& why, const QVector<KeySequence::Key>& keys) {
    for (const KeySequence::Key& key : why.isEmpty() ? keys : QVector<KeySequence::Key>()) {
        Press(page, key);
    }
    return why;
}

} // namespace

void PageInput::SendMouse(QWebPage* page, Mouse what, const QPointF& at) {
    QMouseEvent move(QEvent::MouseMove, at, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    page->event(&move);
    if (what == Mouse::Click || what == Mouse::Press) {
        QMouseEvent press(QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        page->event(&press);
    }
    if (what == Mouse::Click || what == Mouse::Release) {
        QMouseEvent release(QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        page->event(&release);
    }
}

QString PageInput::SendText(QWebPage* page, const QString& text) {
    QVector<KeySequence::Key> keys;
    return PressAll(page, KeySequence::OfText(text, keys), keys);
}

QString PageInput::SendKeys(QWebPage* page, const QString& sequence) {
    QVector<KeySequence::Key> keys;
    return PressAll(page, KeySequence::OfSequence(sequence, keys), keys);
}
