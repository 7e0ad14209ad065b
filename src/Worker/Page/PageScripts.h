#ifndef ORVO_WORKER_PAGE_PAGESCRIPTS_H
#define ORVO_WORKER_PAGE_PAGESCRIPTS_H

#include <QByteArray>

// The two scripts the worker runs inside pages, compiled in as resources
// and read once, by Load at start-up, before any request:
// the body serializer (its value is the body as compact XHTML-like text)
// and the region annotator (it writes each visible element's box into a
// "region" attribute). Both are UTF-8.
class PageScripts {
public:
    static void Load();
    static const QByteArray& BodySerializer();
    static const QByteArray& RegionAnnotator();

private:
    static QByteArray bodySerializer;
    static QByteArray regionAnnotator;
};

#endif
