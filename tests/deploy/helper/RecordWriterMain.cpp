// Records deployments as a Nerim process would, for the tests of what two
// processes recording at once keep:
//   deploy_test_record_writer PROJECT PREFIX COUNT
// records PREFIX-1 … PREFIX-COUNT for the project folder, one change each, in
// the data folder the environment names; exits 0 once all are recorded.
#include "deploy/DeployOwnRecord.h"

#include <QCoreApplication>
#include <QUrl>
#include <cstdio>
#include <exception>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4)
        return 2;
    const QUrl project = QUrl::fromLocalFile(QString::fromLocal8Bit(argv[1]));
    const QString prefix = QString::fromLocal8Bit(argv[2]);
    const int count = QString::fromLocal8Bit(argv[3]).toInt();
    try {
        for (int i = 1; i <= count; ++i)
            nerim::DeployOwnRecord::update(project, [&](nerim::DeployOwnRecord &record) {
                record.addDeployment(prefix + QLatin1Char('-') + QString::number(i));
            });
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
