#ifndef ORVO_WORKER_NETWORK_QRECORDINGREPLY_H
#define ORVO_WORKER_NETWORK_QRECORDINGREPLY_H

#include <QByteArray>
#include <QNetworkReply>
#include <QPointer>

// A reply that stands in front of another and keeps a copy of every byte of
// its body: the engine reads it as it would read the reply behind it (the
// same metadata, data, errors and signals), and Body() holds all that came
// so far. A reply's body can be read only once, so a page whose response
// bodies are wanted gets this in front of each of its replies.
//
// Owns the reply behind it, which is deleted soon after it. That reply is
// its sibling, not its child: a network manager that ends deletes every
// reply among its descendants, and would delete a child reply twice.
class QRecordingReply : public QNetworkReply {
    Q_OBJECT

public:
    QRecordingReply(QNetworkReply* inner, QObject* parent);

    // Every byte of the body that has come so far, read or not.
    const QByteArray& Body() const { return body; }

    void abort() override;
    void close() override;
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;
    void setReadBufferSize(qint64 size) override;
    void ignoreSslErrors() override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    void sslConfigurationImplementation(QSslConfiguration& configuration) const override;
    void setSslConfigurationImplementation(const QSslConfiguration& configuration) override;
    void ignoreSslErrorsImplementation(const QList<QSslError>& errors) override;

private:
    // Takes the inner reply's URL, attributes and headers as they are now.
    void CopyMetaData();
    // Moves what the inner reply has into the unread data and the body.
    void TakeData();
    void OnFinished();
    void OnError(QNetworkReply::NetworkError code);

    // Null once the manager that made it has deleted it.
    QPointer<QNetworkReply> inner;
    QByteArray body;
    // What the engine has not read yet.
    QByteArray unread;
};

#endif
