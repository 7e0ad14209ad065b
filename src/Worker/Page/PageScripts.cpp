#include "Page/PageScripts.h"

#include <QFile>

QByteArray PageScripts::bodySerializer;
QByteArray PageScripts::regionAnnotator;

namespace {

QByteArray Read(const char* path) {
    QFile file(QString::fromLatin1(path));
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

} // namespace

// Resources compiled into a static library must be registered by hand, and
// from outside any namespace.
static void RegisterResources() {
    Q_INIT_RESOURCE(PageScripts);
}

void PageScripts::Load() {
    if (bodySerializer.isEmpty()) {
        RegisterResources();
        bodySerializer = Read(":/scripts/BodySerializer.js");
        regionAnnotator = Read(":/scripts/RegionAnnotator.js");
    }
}

const QByteArray& PageScripts::BodySerializer() {
    return bodySerializer;
}

const QByteArray& PageScripts::RegionAnnotator() {
    return regionAnnotator;
}
