#include "peer.h"

#include <QProcess>

namespace vesk::test {

namespace {

const QString script = QStringLiteral(VESK_CORE_TEST_DATA "/peer.py");

// Debian's interpreter, which has the "cryptography" package.
const QString python = QStringLiteral("/usr/bin/python3");

bool run(const QStringList& arguments, QByteArray* out, QString* error)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PYTHONPATH", QStringLiteral(VESK_PYTHON_TEST_LIB));
    process.setProcessEnvironment(environment);
    process.start(python, QStringList { "-B", script } + arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        *error = QString::fromUtf8(process.readAllStandardError());
        return false;
    }
    *out = process.readAllStandardOutput();
    return true;
}

} // namespace

Peer::Peer()
    : m_keyFile(m_dir.filePath("peer.pem"))
{
    QByteArray out;
    QString error;
    if (run({ "keygen", m_keyFile }, &out, &error))
        m_publicKey = out.trimmed();
}

Peer::Decrypted Peer::decrypt(const RawResponse& response) const
{
    Decrypted result;
    QByteArray out;
    if (!run({ "decrypt", m_keyFile, QString::fromLatin1(response.header("X-PK")),
                 QString::fromLatin1(response.header("X-IV")),
                 QString::fromLatin1(response.body.toHex()) },
            &out, &result.error))
        return result;
    const qsizetype newline = out.indexOf('\n');
    result.key = QByteArray::fromHex(out.left(newline));
    result.plaintext = out.mid(newline + 1).chopped(1);
    result.ok = true;
    return result;
}

} // namespace vesk::test
