#include "Network/DeniedNetworks.h"

#include <stdexcept>

#include <QHostInfo>
#include <QStringList>

#include "Kernel/Configurator.h"

DeniedNetworks DeniedNetworks::Parse(const QString& text) {
    DeniedNetworks denied;
    for (const QString& entry : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QPair<QHostAddress, int> network = QHostAddress::parseSubnet(entry.trimmed());
        if (network.first.isNull()) {
            throw std::invalid_argument("not a network (ADDRESS/BITS): " + entry.trimmed().toStdString());
        }
        denied.networks.append(network);
    }
    return denied;
}

const DeniedNetworks& DeniedNetworks::Configured() {
    static const DeniedNetworks networks = Parse(QString::fromStdString(
        Orvo::Browser::Configurator::instance ? Orvo::Browser::Configurator::instance->DeniedNetworks()
                                              : std::string()));
    return networks;
}

QString DeniedNetworks::Refusal(const QString& address, const QString& host) {
    return QStringLiteral("the address %1 of %2 is in a denied network").arg(address, host);
}

bool DeniedNetworks::Denies(const QString& host, QString& denied) const {
    if (networks.isEmpty() || host.isEmpty()) {
        return false;
    }
    QList<QHostAddress> addresses;
    const QHostAddress literal(host);
    if (!literal.isNull()) {
        addresses.append(literal);
    } else {
        addresses = QHostInfo::fromName(host).addresses();
    }
    for (const QHostAddress& address : addresses) {
        if (Contains(address)) {
            denied = address.toString();
            return true;
        }
    }
    return false;
}

// An IPv4 address mapped into IPv6 (::ffff:a.b.c.d) counts as the IPv4
// address it carries.
bool DeniedNetworks::Contains(const QHostAddress& address) const {
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    const QHostAddress plain = mapped ? QHostAddress(v4) : address;
    for (const auto& network : networks) {
        if (plain.isInSubnet(network)) {
            return true;
        }
    }
    return false;
}
