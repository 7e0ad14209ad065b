#include "Page/KeySequence.h"

#include <algorithm>
#include <iterator>

#include <QMetaEnum>
#include <QRegularExpression>
#include <QStringList>

namespace {

typedef KeySequence::Key Key;

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

} // namespace

QString KeySequence::OfText(const QString& text, QVector<Key>& keys) {
    if (text.size() > MaxKeys) {
        return TooMany();
    }
    for (const QChar character : text) {
        keys.append(Key{0, Qt::NoModifier, QString(character)});
    }
    return QString();
}

QString KeySequence::OfSequence(const QString& sequence, QVector<Key>& keys) {
    for (const QString& word : sequence.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts)) {
        if (!ParseWord(word, keys)) {
            return QStringLiteral("no key is called %1").arg(word);
        }
        if (keys.size() > MaxKeys) {
            return TooMany();
        }
    }
    return QString();
}

QString KeySequence::TooMany() {
    return QStringLiteral("at most %1 keys at a time").arg(MaxKeys);
}
