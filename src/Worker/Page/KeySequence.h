#ifndef ORVO_WORKER_PAGE_KEYSEQUENCE_H
#define ORVO_WORKER_PAGE_KEYSEQUENCE_H

#include <Qt>
#include <QString>
#include <QVector>

// The keys a script types, as each engine then presses them: text typed
// as it is, or a key sequence. In a sequence whitespace only separates
// words; a word's characters are typed as they are, and "<Name>" in it is
// the key Qt calls Key_Name ("<Return>", "<Home>", "<F5>"), after held
// modifiers as in "<Ctrl+A>" (Ctrl, Control, Alt, Shift, Meta).
class KeySequence {
public:
    struct Key {
        // Qt's key code; 0 for a character typed as it is.
        int code = 0;
        Qt::KeyboardModifiers modifiers = Qt::NoModifier;
        // What the key types: a character key its character, Return, Tab
        // and Backspace their control character, the rest nothing.
        QString text;
    };

    // The most keys one call presses: each is a whole event for the page,
    // and an editor takes longer for each key the more it holds.
    static constexpr int MaxKeys = 5000;

    // The keys of text, one per character; why not (empty when read) for
    // more than MaxKeys characters.
    static QString OfText(const QString& text, QVector<Key>& keys);
    // The keys of a key sequence; why not (empty when read) when a word
    // that is "<Name>" alone names no key, or for more than MaxKeys keys.
    static QString OfSequence(const QString& sequence, QVector<Key>& keys);

private:
    static QString TooMany();
};

#endif
