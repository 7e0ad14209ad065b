#include "Page/PageInput.h"

#include <QKeyEvent>
#include <QMetaEnum>
#include <QRegularExpression>
#include <QMouseEvent>
#include <QStringList>
#include <QVector>
#include <QWebPage>

#include <algorithm>
#include <iterator>

namespace {

struct Key {
    int code;
    Qt::KeyboardModifiers modifiers;
    QString text;
};

// The text a key types with no modifier held: a character key its
// character, a few named keys their control character, the rest none.
QString TextOf(int code, Qt::KeyboardModifiers modifiers) {
    if (modifiers & ~Qt::KeyboardModifiers(Qt::ShiftModifier)) {
        return QString();
    }
    switch (code) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return QStringLiteral("\r");
    case Qt::Key_Tab:
        return QStringLiteral("\t");
    case Qt::Key_Backspace:
        return QStringLiteral("\b");
    default:
        break;
    }
    if (code < 0x20 || code > 0x7e) {
        return QString();
    }
    const QChar character(code);
    return modifiers & Qt::ShiftModifier ? QString(character) : QString(character.toLower());
}

// A key named as between angle brackets: "Return", "Home", "F5" or any
// other name of Qt's key list (Qt::Key_Name), after held modifiers
// ("Ctrl+", "Alt+", "Shift+", "Meta+"), as in "Ctrl+A".
bool ParseNamed(const QString& name, Key& key) {
    static const std::pair<const char*, Qt::KeyboardModifier> Held[] = {{"Ctrl", Qt::ControlModifier},
                                                                         {"Control", Qt::ControlModifier},
                                                                         {"Alt", Qt::AltModifier},
                                                                         {"Shift", Qt::ShiftModifier},
                                                                         {"Meta", Qt::MetaModifier}};
    QStringList parts = name.split(QLatin1Char('+'));
    key.modifiers = Qt::NoModifier;
    for (const QString& part : parts.mid(0, parts.size() - 1)) {
        const auto held = std::find_if(std::begin(Held), std::end(Held),
                                       [&part](const auto& h) { return part == QLatin1String(h.first); });
        if (held == std::end(Held)) {
            return false;
        }
        key.modifiers |= held->second;
    }
    bool known = false;
    const QByteArray enumName = "Key_" + parts.last().toLatin1();
    key.code = QMetaEnum::fromType<Qt::Key>().keyToValue(enumName.constData(), &known);
    key.text = TextOf(key.code, key.modifiers);
    return known && !parts.last().isEmpty();
}

// The keys of one whitespace-separated word: its characters as they are,
// and each "<Name>" in it that names a key as that key. A word that is
// "<Name>" alone must name one.
bool ParseWord(const QString& word, QVector<Key>& keys) {
    for (int at = 0; at < word.size(); ++at) {
        const int close = word.indexOf(QLatin1Char('>'), at + 1);
        Key key;
        if (word.at(at) == QLatin1Char('<') && close > at + 1 && ParseNamed(word.mid(at + 1, close - at - 1), key)) {
            keys.append(key);
            at = close;
        } else if (word.at(at) == QLatin1Char('<') && at == 0 && close == word.size() - 1 && close > 1) {
            return false;
        } else {
            keys.append(Key{0, Qt::NoModifier, QString(word.at(at))});
        }
    }
    return true;
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

QString PageInput::SendText(QWebPage* page, const QString& text) {
    if (text.size() > MaxKeys) {
        return TooMany();
    }
    for (const QChar character : text) {
        Press(page, Key{0, Qt::NoModifier, QString(character)});
    }
    return QString();
}

QString PageInput::SendKeys(QWebPage* page, const QString& keys) {
    QVector<Key> parsed;
    for (const QString& word : keys.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts)) {
        if (!ParseWord(word, parsed)) {
            return QStringLiteral("no key is called %1").arg(word);
        }
        if (parsed.size() > MaxKeys) {
            return TooMany();
        }
    }
    for (const Key& key : parsed) {
        Press(page, key);
    }
    return QString();
}

QString PageInput::TooMany() {
    return QStringLiteral("at most %1 keys at a time").arg(MaxKeys);
}
