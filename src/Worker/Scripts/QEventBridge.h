#ifndef ORVO_WORKER_SCRIPTS_QEVENTBRIDGE_H
#define ORVO_WORKER_SCRIPTS_QEVENTBRIDGE_H

#include <functional>

#include <QObject>
#include <QString>
#include <QVariantMap>

// The object that a page's event listeners call, published in its window:
// it hands each call to the function it was made with. The page reaches
// every slot of a published object (deleteLater too), so this one holds
// nothing else; whoever made it keeps it by a QPointer and makes another
// when it is gone.
class QEventBridge : public QObject {
    Q_OBJECT

public:
    using Fire = std::function<QVariantMap(const QString& token, int listener, const QVariantMap& event)>;

    QEventBridge(Fire fire, QObject* parent);

    Q_INVOKABLE QVariantMap fire(const QString& token, int listener, const QVariantMap& event);

private:
    const Fire handOver;
};

#endif
