// SPDX-License-Identifier: GPL-3.0-or-later
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

    // The command line answers without a display and refuses what it does
    // not know, before any window.
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::newRow("version") << QStringList{"--version"} << 0 << "Quorivo 1.0.0\nOPC UA security policies: None, Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss\nOPC UA security modes: None, Sign, SignAndEncrypt\n"
                                 << "";
        QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: quorivo [options]" << "";
        QTest::newRow("help with Qt's options") << QStringList{"--help-all"} << 0 << "--version" << "";
        QTest::newRow("unknown option") << QStringList{"--frobnicate"} << 2 << ""
                                        << "quorivo: Unknown option 'frobnicate'.";
        QTest::newRow("an argument") << QStringList{"Quorivo.Simulation.1"} << 2 << ""
                                     << "quorivo: unexpected argument 'Quorivo.Simulation.1'";
        QTest::newRow("a Qt option without its value") << QStringList{"-style"} << 2 << "" << "Missing value after";
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(QUORIVO_BINARY), arguments);
        QVERIFY(program.waitForFinished(5000));
        const QString stdOut = QString::fromLocal8Bit(program.readAllStandardOutput());
        const QString stdErr = QString::fromLocal8Bit(program.readAllStandardError());
        QCOMPARE(program.exitCode(), exitCode);
        if (exitCode == 0 && out.endsWith(QLatin1Char('\n')))
            QCOMPARE(stdOut, out);
        QVERIFY2(stdOut.contains(out), qPrintable(stdOut));
        QVERIFY2(stdErr.contains(err), qPrintable(stdErr));
        if (exitCode != 0)
            QVERIFY2(stdOut.isEmpty(), qPrintable(stdOut));
    }

    // Qt's own options still reach the toolkit.
    void qtOptionsPassThrough()
    {
        QProcess program;
        QProcessEnvironment env = environment(QStringLiteral("key:FrmSplash"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.remove(QStringLiteral("DISPLAY"));
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(QUORIVO_BINARY), {QStringLiteral("-platform"), QStringLiteral("offscreen")});
        QVERIFY(program.waitForFinished(8000));
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
