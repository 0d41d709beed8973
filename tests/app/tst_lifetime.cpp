// The program's lifetime, watched on the real binary as its own process:
// every road that leaves no window must end it, and only those.
#include <QProcess>
#include <QTest>

class TestLifetime : public QObject {
    Q_OBJECT

    static QProcessEnvironment environment(const QString &script)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(QUORIVO_INJECT_LIBRARY));
        env.insert(QStringLiteral("QUORIVO_INJECT"), script);
        return env;
    }

private slots:
    void endsWhenNoWindowIsLeft_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QStringList>("said");
        QTest::newRow("a key on the splash") << "key:FrmSplash" << QStringList();
        QTest::newRow("a click on the splash's frame") << "corner:FrmSplash/Frame1" << QStringList();
        QTest::newRow("Esci with no other window") << "click:FrmSplash/Command1;say:main;click:Form1/Command5"
                                                   << QStringList{"say main"};
        QTest::newRow("the last secondary window closed after Esci")
            << "click:FrmSplash/Command1;type:Form1/OPCServerName=Quorivo.Simulation.1;click:Form1/OPCServerConnect;"
               "click:Form1/Command6;click:Form1/Command5;say:after-esci;close:Form2"
            << QStringList{"say after-esci"};
    }

    void endsWhenNoWindowIsLeft()
    {
        QFETCH(QString, script);
        QFETCH(QStringList, said);
        QProcess program;
        program.setProcessEnvironment(environment(script));
        program.start(QStringLiteral(QUORIVO_BINARY), {});
        QVERIFY2(program.waitForStarted(5000), qPrintable(program.errorString()));
        const bool ended = program.waitForFinished(8000 + 200 * int(script.count(QLatin1Char(';'))));
        if (!ended) {
            program.kill();
            program.waitForFinished(2000);
        }
        const QString out = QString::fromLocal8Bit(program.readAllStandardOutput());
        QVERIFY2(ended, qPrintable(QStringLiteral("still running; it said: ") + out));
        QVERIFY2(!out.contains(QLatin1String("missing")), qPrintable(out));
        for (const QString &word : said)
            QVERIFY2(out.contains(word), qPrintable(out));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
    }

    // The other side: while a window is open the program lives on.
    void livesWhileAWindowIsOpen_data()
    {
        QTest::addColumn<QString>("script");
        QTest::newRow("the main window") << "click:FrmSplash/Command1;say:main";
        QTest::newRow("a secondary window after Esci")
            << "click:FrmSplash/Command1;type:Form1/OPCServerName=Quorivo.Simulation.1;click:Form1/OPCServerConnect;"
               "click:Form1/Command6;click:Form1/Command5;say:main";
    }

    void livesWhileAWindowIsOpen()
    {
        QFETCH(QString, script);
        QProcess program;
        program.setProcessEnvironment(environment(script));
        program.start(QStringLiteral(QUORIVO_BINARY), {});
        QVERIFY(program.waitForStarted(5000));
        QVERIFY(!program.waitForFinished(3000 + 200 * int(script.count(QLatin1Char(';')))));
        const QString out = QString::fromLocal8Bit(program.readAllStandardOutput());
        QVERIFY2(out.contains(QLatin1String("say main")), qPrintable(out));
        QVERIFY2(!out.contains(QLatin1String("missing")), qPrintable(out));
        program.kill();
        program.waitForFinished(2000);
    }
};

QTEST_GUILESS_MAIN(TestLifetime)
#include "tst_lifetime.moc"
