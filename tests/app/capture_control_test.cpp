// The main window's side of capture: looking for a device, connecting,
// choosing among several, live on/off, the tick, device options, and keeping
// action, device and timer consistent when something fails.
#include "app/main_window.h"
#include "canvas/canvas.h"
#include "capture/capture_device.h"
#include "capture/frame_mailbox.h"
#include "capture/test_camera.h"
#include "../support/qtest_main.h"
#include "../support/scripted_dialogs.h"

#include <QElapsedTimer>
#include <QComboBox>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QLabel>
#include <QStatusBar>
#include <QTimer>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

// A device whose failures the test decides. Delivers one flat grey frame per
// start on a short-lived thread.
struct FakeBehaviour {
    bool startFails = false;
    bool dialogFails = false;
    int width = 64;
    int height = 48;
    int starts = 0;
    int sizeAfterDialog = 0;                  // > 0: the format dialog switches to this square size
    imTrackingGrabberCB* mailbox = nullptr;  // of the last start, to deliver more frames
};

class FakeSource : public CaptureSource {
public:
    explicit FakeSource(FakeBehaviour* behaviour) : b(behaviour) {}
    ~FakeSource() override { stop(); }
    void frameSize(int& width, int& height) const override {
        width = b->width;
        height = b->height;
    }
    bool requestFrameSize(int, int) override { return true; }
    bool start(imTrackingGrabberCB& mailbox) override {
        ++b->starts;
        if (b->startFails) return false;
        b->mailbox = &mailbox;
        deliverFrame(mailbox, *b, 90);
        return true;
    }
    void stop() override {}
    std::vector<CaptureDialogEntry> dialogs() const override {
        return {{"Format...", DialogEffect::ChangesFormat}, {"Source...", DialogEffect::None}};
    }
    bool runDialog(int, QWidget*) override {
        if (b->sizeAfterDialog > 0) b->width = b->height = b->sizeAfterDialog;
        return !b->dialogFails;
    }
    static void deliverFrame(imTrackingGrabberCB& mailbox, const FakeBehaviour& b, std::uint8_t grey) {
        if (mailbox.width() != b.width || mailbox.height() != b.height) mailbox.resize(b.width, b.height);
        std::vector<std::uint8_t> frame(std::size_t(b.width) * b.height * 3, grey);
        mailbox.SampleCB(frame.data(), frame.size());
    }

private:
    FakeBehaviour* b;
};

}  // namespace

class CaptureControlTest : public QObject {
    Q_OBJECT

private:
    FakeBehaviour behaviour;

    static QAction* action(MainWindow& w, const char* name) { return w.findChild<QAction*>(name); }

    static void offerOnlyTheTestCamera() {
        setHardwareCaptureBackends({});
        clearVirtualCaptureDevices();
        registerVirtualCaptureDevice("Test", [] { return std::make_unique<TestCameraSource>(); });
    }

    void offerFakeDevices(int count) {
        setHardwareCaptureBackends({});
        clearVirtualCaptureDevices();
        for (int i = 0; i < count; ++i)
            registerVirtualCaptureDevice("Fake " + std::to_string(i),
                                         [this] { return std::make_unique<FakeSource>(&behaviour); });
    }

private slots:
    void init() { behaviour = FakeBehaviour(); }

    void frameRateText() {
        QCOMPARE(::frameRateText(30, 1001), QStringLiteral("   Frame Rate: 29.97 Hz   "));
        QCOMPARE(::frameRateText(1, 1000), QStringLiteral("   Frame Rate: 1.00 Hz   "));
    }

    void noDeviceWarnsOnceAndDisablesConnecting() {
        offerFakeDevices(0);
        ScriptedDialogs dialogs;
        MainWindow w;
        w.initCaptureDevice();
        QCOMPARE(int(dialogs.messages.size()), 1);
        QCOMPARE(dialogs.messages[0].kind, QStringLiteral("warning"));
        QCOMPARE(dialogs.messages[0].title, QStringLiteral("Warning"));
        QCOMPARE(dialogs.messages[0].text, QStringLiteral("No Capture Device available!"));
        QVERIFY(!action(w, "actionToggleConnection")->isEnabled());
        QVERIFY(!action(w, "actionToggleCapture")->isEnabled());
        QVERIFY(action(w, "actionOpenImage")->isEnabled());
    }

    void virtualTestCameraRunsTheWholeLivePath() {
        offerOnlyTheTestCamera();
        ScriptedDialogs dialogs;
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.initCaptureDevice();
        QVERIFY(dialogs.messages.empty());

        action(w, "actionToggleConnection")->setChecked(true);
        QVERIFY(dialogs.asked.isEmpty());  // one device: nobody is asked
        QVERIFY(action(w, "actionToggleCapture")->isChecked());
        QVERIFY(action(w, "actionToggleCapture")->isEnabled());
        QVERIFY(action(w, "actionDeviceOptions")->isEnabled());
        QVERIFY(!action(w, "actionOpenImage")->isEnabled());
        QVERIFY(w.capturing());
        QCOMPARE(w.imageWidth(), 320);
        QCOMPARE(w.imageHeight(), 240);

        // Ticks flow and the rate follows the 30 Hz source (a loaded machine may lag).
        const int paints = w.leftCanvas()->paintCount();
        QTRY_VERIFY_WITH_TIMEOUT(w.frameRateLabel()->text() != QStringLiteral("   Frame Rate: 0 Hz   "), 5000);
        QTest::qWait(1200);
        const double rate = w.frameRateLabel()->text().split(' ', Qt::SkipEmptyParts).value(2).toDouble();
        QVERIFY2(rate >= 20.0 && rate <= 80.0, qPrintable(w.frameRateLabel()->text()));
        QVERIFY(w.leftCanvas()->paintCount() > paints + 20);

        // Pause, resume.
        action(w, "actionToggleCapture")->setChecked(false);
        QVERIFY(!w.capturing());
        QCOMPARE(setLive(w.captureDevice(), -1), 0);
        action(w, "actionToggleCapture")->setChecked(true);
        QVERIFY(w.capturing());
        QCOMPARE(setLive(w.captureDevice(), -1), 1);
        QTest::qWait(200);

        // Disconnecting keeps the last frame on both canvases.
        const QByteArray grey(reinterpret_cast<const char*>(w.grayBuffer()), w.pixelCount());
        action(w, "actionToggleConnection")->setChecked(false);
        QVERIFY(!w.capturing());
        QVERIFY(!action(w, "actionToggleCapture")->isChecked());
        QVERIFY(!action(w, "actionToggleCapture")->isEnabled());
        QVERIFY(!action(w, "actionDeviceOptions")->isEnabled());
        QVERIFY(action(w, "actionOpenImage")->isEnabled());
        QCOMPARE(connectDevice(w.captureDevice(), -1), -1);
        QCOMPARE(w.leftCanvas()->pixels(), w.grayBuffer());
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(w.grayBuffer()), w.pixelCount()), grey);
        QVERIFY(dialogs.messages.empty());
    }

    void twoDevicesAskAndCancelLeavesNothingConnected() {
        offerFakeDevices(2);
        ScriptedDialogs dialogs;
        MainWindow w;
        w.initCaptureDevice();
        dialogs.choiceAnswers.push_back(-1);
        action(w, "actionToggleConnection")->setChecked(true);
        QCOMPARE(dialogs.asked.value(0), QStringLiteral("Capture Device Selection"));
        QCOMPARE(dialogs.lastItems, QStringList({"0 - Fake 0", "1 - Fake 1"}));
        QVERIFY(action(w, "actionToggleConnection")->isChecked());
        QCOMPARE(connectDevice(w.captureDevice(), -1), -1);
        QVERIFY(!w.capturing());
        action(w, "actionToggleConnection")->setChecked(false);  // harmless
        QVERIFY(dialogs.messages.empty());

        dialogs.choiceAnswers.push_back(1);
        action(w, "actionToggleConnection")->setChecked(true);
        QCOMPARE(connectDevice(w.captureDevice(), -1), 1);
        QCOMPARE(w.imageWidth(), 64);
        action(w, "actionToggleConnection")->setChecked(false);
    }

    void startUpDeviceChoice_data() {
        QTest::addColumn<QString>("wanted");
        QTest::addColumn<int>("connected");  // -1: refused, nothing connected
        QTest::newRow("number") << "2" << 2;
        QTest::newRow("part of a name") << "fake 1" << 1;
        QTest::newRow("none given") << "" << 0;
        QTest::newRow("name matching nothing") << "Webcam" << -1;
        QTest::newRow("number out of range") << "7" << -1;
        QTest::newRow("negative number") << "-1" << -1;
    }

    // The start-up choice connects without asking, once; a name that matches
    // nothing connects nothing.
    void startUpDeviceChoice() {
        QFETCH(QString, wanted);
        QFETCH(int, connected);
        offerFakeDevices(3);
        ScriptedDialogs dialogs;
        MainWindow w;
        w.initCaptureDevice();
        w.chooseDeviceAtStart(wanted, true);
        QVERIFY(dialogs.asked.isEmpty());
        QCOMPARE(connectDevice(w.captureDevice(), -1), connected);
        QCOMPARE(w.capturing(), connected >= 0);
        if (connected < 0) {
            QCOMPARE(int(dialogs.messages.size()), 1);
            QCOMPARE(dialogs.messages[0].title, QStringLiteral("Warning"));
            QVERIFY(dialogs.messages[0].text.contains(wanted));
            return;
        }
        QVERIFY(dialogs.messages.empty());
        action(w, "actionToggleConnection")->setChecked(false);
        dialogs.choiceAnswers.push_back(-1);
        action(w, "actionToggleConnection")->setChecked(true);
        QCOMPARE(dialogs.asked.value(0), QStringLiteral("Capture Device Selection"));
    }

    void recordingWhileLive_data() {
        QTest::addColumn<bool>("writable");
        QTest::addColumn<int>("processor");  // in the processor list
        QTest::newRow("a file") << true << 1;
        QTest::newRow("a file and the ruins reconstructor's track") << true << 2;
        QTest::newRow("a full disk") << false << 1;
    }

    // Recording follows the live frames; a file that cannot be written stops
    // recording with an "Error" box and capture goes on. The ruins reconstructor
    // writes the camera of every recorded frame beside the video.
    void recordingWhileLive() {
        QFETCH(bool, writable);
        QFETCH(int, processor);
        QTemporaryDir dir;
        const QString path = writable ? dir.filePath(QStringLiteral("window.mp4")) : QStringLiteral("/dev/full");
        offerOnlyTheTestCamera();
        ScriptedDialogs dialogs;
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.initCaptureDevice();
        action(w, "actionToggleConnection")->setChecked(true);
        w.findChild<QComboBox*>(QStringLiteral("processorCombo"))->setCurrentIndex(processor);
        dialogs.fileAnswers.push_back(path);
        action(w, "actionRecord")->setChecked(true);
        QTRY_VERIFY_WITH_TIMEOUT(!dialogs.messages.empty() || QFileInfo(path).size() > 0, 5000);
        if (writable) {
            QVERIFY(w.recording());
            // Not a fixed wait: under the sanitizers a frame of the search for
            // the structure takes long, and the camera's pace is not the point.
            QTRY_VERIFY_WITH_TIMEOUT(w.framesRecorded() >= 10, 10000);
            action(w, "actionRecord")->setChecked(false);
            QVERIFY(dialogs.messages.empty());
            const QStringList said = w.statusBar()->currentMessage().split(QLatin1Char(' '));
            QCOMPARE(said.value(0), QStringLiteral("Recorded"));
            QVERIFY2(said.value(1).toInt() >= 10, qPrintable(said.join(QLatin1Char(' '))));
            QFile track(dir.filePath(QStringLiteral("window.track.json")));
            QCOMPARE(track.exists(), processor == 2);
            if (track.open(QIODevice::ReadOnly)) {
                const QJsonObject written = QJsonDocument::fromJson(track.readAll()).object();
                const QJsonArray frames = written[QStringLiteral("frames")].toArray();
                QCOMPARE(frames.size(), said.value(1).toInt());
                QCOMPARE(frames.last()[QStringLiteral("frame")].toInt(), frames.size() - 1);
                QCOMPARE(written[QStringLiteral("points")].toArray().size(), 39);
            }
        } else {
            QCOMPARE(dialogs.messages[0].title, QStringLiteral("Error"));
            QVERIFY2(dialogs.messages[0].text.contains(QStringLiteral("No space left")), qPrintable(dialogs.messages[0].text));
            QVERIFY(!action(w, "actionRecord")->isChecked());
        }
        QVERIFY(!w.recording());
        QVERIFY(w.capturing());
    }

    void failedStartKeepsActionTimerAndDeviceConsistent() {
        offerFakeDevices(1);
        behaviour.startFails = true;
        ScriptedDialogs dialogs;
        MainWindow w;
        w.initCaptureDevice();
        action(w, "actionToggleConnection")->setChecked(true);
        QCOMPARE(int(dialogs.messages.size()), 1);
        QCOMPARE(dialogs.messages[0].title, QStringLiteral("Error"));
        QCOMPARE(dialogs.messages[0].text, QStringLiteral("Could not change live state!"));
        QVERIFY(!w.capturing());
        QVERIFY(!action(w, "actionToggleCapture")->isChecked());
        QCOMPARE(setLive(w.captureDevice(), -1), 0);

        // Toggling again tries to start again; now it works.
        behaviour.startFails = false;
        const int starts = behaviour.starts;
        action(w, "actionToggleCapture")->setChecked(true);
        QCOMPARE(behaviour.starts, starts + 1);
        QVERIFY(w.capturing());
        QCOMPARE(setLive(w.captureDevice(), -1), 1);
        action(w, "actionToggleConnection")->setChecked(false);
        QVERIFY(!w.capturing());
        QCOMPARE(setLive(w.captureDevice(), -1), 0);
    }

    void failedConnectionReportsAndStaysChecked() {
        setHardwareCaptureBackends({});
        clearVirtualCaptureDevices();
        registerVirtualCaptureDevice("Broken", [] { return std::unique_ptr<CaptureSource>(); });
        ScriptedDialogs dialogs;
        MainWindow w;
        w.initCaptureDevice();
        action(w, "actionToggleConnection")->setChecked(true);
        QCOMPARE(int(dialogs.messages.size()), 1);
        QCOMPARE(dialogs.messages[0].text, QStringLiteral("Could not connect to the capture device!"));
        QVERIFY(action(w, "actionToggleConnection")->isChecked());
        QVERIFY(!action(w, "actionToggleCapture")->isEnabled());
        QVERIFY(action(w, "actionOpenImage")->isEnabled());
    }

    void deviceOptionsMenuAndFailedConfiguration() {
        offerFakeDevices(1);
        ScriptedDialogs dialogs;
        MainWindow w;
        w.initCaptureDevice();
        action(w, "actionToggleConnection")->setChecked(true);
        QVERIFY(w.capturing());

        dialogs.choiceAnswers.push_back(-1);  // menu dismissed
        action(w, "actionDeviceOptions")->trigger();
        QCOMPARE(dialogs.lastItems, QStringList({"Format...", "Source..."}));
        QVERIFY(w.capturing());
        QVERIFY(dialogs.messages.empty());

        dialogs.choiceAnswers.push_back(0);  // works: live again afterwards
        action(w, "actionDeviceOptions")->trigger();
        QVERIFY(dialogs.messages.empty());
        QVERIFY(w.capturing());
        QVERIFY(action(w, "actionToggleCapture")->isChecked());

        behaviour.dialogFails = true;
        dialogs.choiceAnswers.push_back(0);
        action(w, "actionDeviceOptions")->trigger();
        QCOMPARE(int(dialogs.messages.size()), 1);
        QCOMPARE(dialogs.messages[0].text, QStringLiteral("Could not set configuration."));
        // The device is left stopped, and so are the ticks and the action.
        QCOMPARE(setLive(w.captureDevice(), -1), 0);
        QVERIFY(!w.capturing());
        QVERIFY(!action(w, "actionToggleCapture")->isChecked());
        action(w, "actionToggleConnection")->setChecked(false);
    }

    // A source that delivered once and then stalls: the window processed that
    // frame once and keeps answering at once, without re-running the old frame.
    void stalledSourceLeavesTheWindowResponsive() {
        offerFakeDevices(1);
        ScriptedDialogs dialogs;
        MainWindow w;
        w.initCaptureDevice();
        action(w, "actionToggleConnection")->setChecked(true);
        QTRY_COMPARE(w.frameCycle().framesRun(), 1LL);
        for (int i = 0; i < 20; ++i) {
            QElapsedTimer clock;
            clock.start();
            bool served = false;
            QTimer::singleShot(0, [&] { served = true; });
            QTRY_VERIFY_WITH_TIMEOUT(served, 1000);
            QVERIFY2(clock.elapsed() < 50, qPrintable(QString::number(clock.elapsed())));
        }
        QCOMPARE(w.frameCycle().framesRun(), 1LL);
        action(w, "actionToggleConnection")->setChecked(false);
    }

    // New sizes reach the buffers before any frame of that size is copied:
    // mid-stream, and after a dialog that changed the size and then failed.
    void buffersFollowTheDevicesSize() {
        offerFakeDevices(1);
        ScriptedDialogs dialogs;
        MainWindow w;
        w.initCaptureDevice();
        action(w, "actionToggleConnection")->setChecked(true);
        QTRY_COMPARE(w.frameCycle().framesRun(), 1LL);

        behaviour.width = 96;
        behaviour.height = 72;
        FakeSource::deliverFrame(*behaviour.mailbox, behaviour, 200);
        QTRY_COMPARE(w.frameCycle().framesRun(), 2LL);
        QCOMPARE(w.imageWidth(), 96);
        QCOMPARE(w.pixelCount(), 96 * 72);
        QCOMPARE(int(w.grayBuffer()[96 * 72 - 1]), 200);

        behaviour.sizeAfterDialog = 40;
        behaviour.dialogFails = true;
        dialogs.choiceAnswers.push_back(0);
        action(w, "actionDeviceOptions")->trigger();
        QCOMPARE(w.imageWidth(), 40);
        QCOMPARE(w.pixelCount(), 40 * 40);
        QCOMPARE(int(w.grayBuffer()[40 * 40 - 1]), 0);  // new buffers are black until a frame arrives
        action(w, "actionToggleConnection")->setChecked(false);
    }
};

CASTELLAN_QTEST_MAIN(CaptureControlTest)
#include "capture_control_test.moc"
