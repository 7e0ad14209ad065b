#include "Scripts/QEventBridge.h"

QEventBridge::QEventBridge(Fire fire, QObject* parent) : QObject(parent), handOver(std::move(fire)) {}

QVariantMap QEventBridge::fire(const QString& token, int listener, const QVariantMap& event) {
    return handOver(token, listener, event);
}
