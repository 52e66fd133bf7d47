// Rewrites one document forever, alternating two complete contents, so the
// crash test can kill it at random moments. Usage: atomic-write-loop <target> <backup>
#include "persistence/AtomicFileWriter.h"

#include <QByteArray>
#include <QString>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    const QString target = QString::fromLocal8Bit(argv[1]);
    const QString backup = QString::fromLocal8Bit(argv[2]);
    const QByteArray contents[2] = {QByteArray(48 * 1024, 'A'), QByteArray(64 * 1024, 'B')};
    for (unsigned long n = 0;; ++n)
        nerim::AtomicFileWriter::write(contents[n % 2], target, backup);
}
