#include "Page/PageInput.h"

#include <QKeyEvent>
#include <QKeySequence>
#include <QMouseEvent>
#include <QStringList>
#include <QVector>
#include <QWebPage>

namespace {

struct Key {
    int code;
    Qt::KeyboardModifiers modifiers;
    QString text;
};

const std::pair<const char*, int> Named[] = {
    {"Return", Qt::Key_Return},   {"Enter", Qt::Key_Enter}, {"Tab", Qt::Key_Tab},
    {"Backspace", Qt::Key_Backspace}, {"Delete", Qt::Key_Delete}, {"Escape", Qt::Key_Escape},
    {"Space", Qt::Key_Space},     {"Left", Qt::Key_Left},   {"Right", Qt::Key_Right},
    {"Up", Qt::Key_Up},           {"Down", Qt::Key_Down},   {"Home", Qt::Key_Home},
    {"End", Qt::Key_End},         {"PageUp", Qt::Key_PageUp}, {"PageDown", Qt::Key_PageDown}};

// The text a named key types.
QString TextOf(int code) {
    switch (code) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return QStringLiteral("\r");
    case Qt::Key_Tab:
        return QStringLiteral("\t");
    case Qt::Key_Space:
        return QStringLiteral(" ");
    case Qt::Key_Backspace:
        return QStringLiteral("\b");
    default:
        return QString();
    }
}

bool Parse(QString name, Key& key) {
    key.modifiers = Qt::NoModifier;
    static const std::pair<const char*, Qt::KeyboardModifier> Held[] = {
        {"C-", Qt::ControlModifier}, {"M-", Qt::AltModifier}, {"S-", Qt::ShiftModifier}};
    for (bool found = true; found && name.size() > 2;) {
        found = false;
        for (const auto& held : Held) {
            if (name.startsWith(QLatin1String(held.first))) {
                key.modifiers |= held.second;
                name = name.mid(2);
                found = true;
            }
        }
    }
    for (const auto& named : Named) {
        if (name == QLatin1String(named.first)) {
            key.code = named.second;
            key.text = key.modifiers == Qt::NoModifier ? TextOf(named.second) : QString();
            return true;
        }
    }
    if (name.size() >= 2 && name.size() <= 3 && name.startsWith(QLatin1Char('F'))) {
        bool numeric = false;
        const int number = name.midRef(1).toInt(&numeric);
        if (numeric && number >= 1 && number <= 12) {
            key.code = Qt::Key_F1 + number - 1;
            return true;
        }
    }
    if (name.size() == 1) {
        key.code = QKeySequence(name)[0] & ~Qt::KeyboardModifierMask;
        key.text = key.modifiers == Qt::NoModifier || key.modifiers == Qt::ShiftModifier ? name : QString();
        return true;
    }
    return false;
}

void Press(QWebPage* page, const Key& key) {
    QKeyEvent press(QEvent::KeyPress, key.code, key.modifiers, key.text);
    page->event(&press);
    QKeyEvent release(QEvent::KeyRelease, key.code, key.modifiers, key.text);
    page->event(&release);
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

void PageInput::SendText(QWebPage* page, const QString& text) {
    for (const QChar character : text) {
        Press(page, Key{0, Qt::NoModifier, QString(character)});
    }
}

bool PageInput::SendKeys(QWebPage* page, const QString& keys, QString& unknown) {
    QVector<Key> parsed;
    for (const QString& name : keys.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        Key key;
        if (!Parse(name, key)) {
            unknown = name;
            return false;
        }
        parsed.append(key);
    }
    for (const Key& key : parsed) {
        Press(page, key);
    }
    return true;
}
