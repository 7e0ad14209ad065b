#ifndef ORVO_KERNEL_STRINGHOLDER_H
#define ORVO_KERNEL_STRINGHOLDER_H

#include <QByteArray>
#include <boost/shared_ptr.hpp>

// One shared reference to UTF-8 text, carrying a response's texts from the
// main thread to the sender thread. Copies share the bytes.
class StringHolder {
public:
    StringHolder() = default;
    explicit StringHolder(const QByteArray& text) : text(new QByteArray(text)) {}

    bool IsSet() const { return static_cast<bool>(text); }
    // The NUL-terminated text; empty when no text is held.
    const char* Data() const { return text ? text->constData() : ""; }

private:
    boost::shared_ptr<QByteArray> text;
};

#endif
