// The single-instance lock: one holder at a time, released with its holder, and never in a
// folder other users could write to. Two guards in one process behave like two processes,
// because flock locks belong to the open file, not to the process.
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <unistd.h>

#include "app/qt/instance_guard.h"

class InstanceGuardTest : public QObject {
  Q_OBJECT

  QByteArray m_savedRuntimeDir = qgetenv("XDG_RUNTIME_DIR");

private slots:
  void cleanup() { qputenv("XDG_RUNTIME_DIR", m_savedRuntimeDir); }

  void oneHolderAtATime() {
    QTemporaryDir runtime;
    QVERIFY(runtime.isValid());
    QVERIFY(chmod(QFile::encodeName(runtime.path()).constData(), 0700) == 0);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    QCOMPARE(QString::fromStdString(CInstanceGuard::LockFolder()), runtime.path());

    CInstanceGuard first;
    CInstanceGuard second;
    QCOMPARE(first.Acquire("VantolyTest"), CInstanceGuard::Result::Acquired);
    QVERIFY(QFile::exists(runtime.filePath("VantolyTest.lock")));
    QCOMPARE(second.Acquire("VantolyTest"), CInstanceGuard::Result::AlreadyRunning);
    QCOMPARE(second.Acquire("OtherName"), CInstanceGuard::Result::Acquired);
    first.Release();
    QCOMPARE(second.Acquire("VantolyTest"), CInstanceGuard::Result::Acquired);
    QCOMPARE(first.Acquire("VantolyTest"), CInstanceGuard::Result::AlreadyRunning);
    {
      CInstanceGuard scoped;
      second.Release();
      QCOMPARE(scoped.Acquire("VantolyTest"), CInstanceGuard::Result::Acquired);
    } // released when the holder goes, as when a process ends
    QCOMPARE(first.Acquire("VantolyTest"), CInstanceGuard::Result::Acquired);
  }

  // Unset, relative, or open to others: the private per-user folder in /tmp instead.
  void fallsBackToAPrivateFolder_data() {
    QTest::addColumn<QByteArray>("runtimeDir");
    QTest::newRow("unset") << QByteArray();
    QTest::newRow("relative") << QByteArray("relative/run");
    QTest::newRow("missing") << QByteArray("/nonexistent/run");
    QTest::newRow("world-writable") << QByteArray("/tmp");
  }
  void fallsBackToAPrivateFolder() {
    QFETCH(QByteArray, runtimeDir);
    if (runtimeDir.isNull())
      qunsetenv("XDG_RUNTIME_DIR");
    else
      qputenv("XDG_RUNTIME_DIR", runtimeDir);
    const std::string folder = CInstanceGuard::LockFolder();
    QCOMPARE(QString::fromStdString(folder), QStringLiteral("/tmp/vantoly-%1").arg(getuid()));
    struct stat info {};
    QVERIFY(lstat(folder.c_str(), &info) == 0);
    QCOMPARE(info.st_mode & 0777, 0700u);
    CInstanceGuard first;
    CInstanceGuard second;
    QCOMPARE(first.Acquire("VantolyFallbackTest"), CInstanceGuard::Result::Acquired);
    QCOMPARE(second.Acquire("VantolyFallbackTest"), CInstanceGuard::Result::AlreadyRunning);
  }
};

QTEST_GUILESS_MAIN(InstanceGuardTest)
#include "instance_guard_test.moc"
