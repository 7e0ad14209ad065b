#include "Network/QRecordingReply.h"

#include <cstring>

#include <QNetworkRequest>
#include <QSslConfiguration>

QRecordingReply::QRecordingReply(QNetworkReply* inner, QObject* parent) : QNetworkReply(parent), inner(inner) {
    inner->setParent(parent);
    connect(this, &QObject::destroyed, inner, &QObject::deleteLater);
    setRequest(inner->request());
    setOperation(inner->operation());
    setUrl(inner->url());
    setOpenMode(QIODevice::ReadOnly | QIODevice::Unbuffered);
    connect(inner, &QNetworkReply::metaDataChanged, this, [this]() {
        CopyMetaData();
        emit metaDataChanged();
    });
    connect(inner, &QNetworkReply::readyRead, this, [this]() {
        TakeData();
        emit readyRead();
    });
    connect(inner, &QNetworkReply::errorOccurred, this, &QRecordingReply::OnError);
    connect(inner, &QNetworkReply::finished, this, &QRecordingReply::OnFinished);
    connect(inner, &QNetworkReply::redirected, this, &QNetworkReply::redirected);
    connect(inner, &QNetworkReply::encrypted, this, &QNetworkReply::encrypted);
    connect(inner, &QNetworkReply::sslErrors, this, &QNetworkReply::sslErrors);
    connect(inner, &QNetworkReply::uploadProgress, this, &QNetworkReply::uploadProgress);
    connect(inner, &QNetworkReply::downloadProgress, this, &QNetworkReply::downloadProgress);
}

void QRecordingReply::CopyMetaData() {
    setUrl(inner->url());
    for (int attribute = 0; attribute < QNetworkRequest::User; ++attribute) {
        const auto code = static_cast<QNetworkRequest::Attribute>(attribute);
        const QVariant value = inner->attribute(code);
        if (value.isValid()) {
            setAttribute(code, value);
        }
    }
    for (const RawHeaderPair& header : inner->rawHeaderPairs()) {
        setRawHeader(header.first, header.second);
    }
}

void QRecordingReply::TakeData() {
    const QByteArray data = inner->readAll();
    body += data;
    unread += data;
}

void QRecordingReply::OnError(QNetworkReply::NetworkError code) {
    setError(code, inner->errorString());
    emit errorOccurred(code);
    // The engine may listen to the signal's older name.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    emit error(code);
    QT_WARNING_POP
}

void QRecordingReply::OnFinished() {
    CopyMetaData();
    if (inner->bytesAvailable() > 0) {
        TakeData();
        emit readyRead();
    }
    if (inner->error() != NoError && error() == NoError) {
        setError(inner->error(), inner->errorString());
    }
    setFinished(true);
    emit finished();
}

void QRecordingReply::abort() {
    if (inner) {
        inner->abort();
    }
}

void QRecordingReply::close() {
    if (inner) {
        inner->close();
    }
    QNetworkReply::close();
}

qint64 QRecordingReply::bytesAvailable() const {
    return unread.size() + QNetworkReply::bytesAvailable();
}

void QRecordingReply::setReadBufferSize(qint64 size) {
    QNetworkReply::setReadBufferSize(size);
    if (inner) {
        inner->setReadBufferSize(size);
    }
}

void QRecordingReply::ignoreSslErrors() {
    if (inner) {
        inner->ignoreSslErrors();
    }
}

qint64 QRecordingReply::readData(char* data, qint64 maxSize) {
    const qint64 size = qMin<qint64>(maxSize, unread.size());
    if (size == 0 && isFinished()) {
        return -1;
    }
    std::memcpy(data, unread.constData(), static_cast<std::size_t>(size));
    unread.remove(0, static_cast<int>(size));
    return size;
}

void QRecordingReply::sslConfigurationImplementation(QSslConfiguration& configuration) const {
    if (inner) {
        configuration = inner->sslConfiguration();
    }
}

void QRecordingReply::setSslConfigurationImplementation(const QSslConfiguration& configuration) {
    if (inner) {
        inner->setSslConfiguration(configuration);
    }
}

void QRecordingReply::ignoreSslErrorsImplementation(const QList<QSslError>& errors) {
    if (inner) {
        inner->ignoreSslErrors(errors);
    }
}
