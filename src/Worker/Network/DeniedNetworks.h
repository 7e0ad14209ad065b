#ifndef ORVO_WORKER_NETWORK_DENIEDNETWORKS_H
#define ORVO_WORKER_NETWORK_DENIEDNETWORKS_H

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

// Networks that no request of a page may reach: "ADDRESS/BITS" entries,
// IPv4 or IPv6, separated by commas. A host named in a URL is looked up
// (the system's resolver, on the calling thread) and denied when any of
// its addresses lies in a denied network. The look-up is the worker's own,
// not the one the connection then makes: a name whose answer changes in
// between is not caught.
//
// Immutable once made.
class DeniedNetworks {
public:
    DeniedNetworks() = default;

    // Throws std::invalid_argument naming an entry that is no network.
    static DeniedNetworks Parse(const QString& text);
    // The worker's --denied-networks, parsed on first use (which throws
    // as Parse does).
    static const DeniedNetworks& Configured();
    // Why a request to host is not sent: its address in a denied network.
    static QString Refusal(const QString& address, const QString& host);

    bool Empty() const { return networks.isEmpty(); }

    // Whether host (a name or an address) reaches a denied network; the
    // address that does goes to denied.
    bool Denies(const QString& host, QString& denied) const;

private:
    bool Contains(const QHostAddress& address) const;

    QList<QPair<QHostAddress, int>> networks;
};

#endif
