#pragma once

#include <memory>
#include <string>
#include <vector>

class QWidget;
class imTrackingGrabberCB;

// What a configuration dialog does to the stream around it.
enum class DialogEffect {
    None,           // shown while streaming goes on (controls applied live)
    ChangesFormat,  // streaming stopped, dialog shown, stream rebuilt with the new size, restarted
};

struct CaptureDialogEntry {
    std::string description;  // menu text, e.g. "Format..."
    DialogEffect effect = DialogEffect::None;
};

// One device a backend has opened. A CaptureSource belongs to one CaptureDevice
// and is driven from the GUI thread only; its frames go to the mailbox from a
// thread of its own. Implementations: the V4L2 camera and the virtual cameras.
class CaptureSource {
public:
    virtual ~CaptureSource() = default;

    // Size of the frames the stream delivers now; 0 x 0 when it has none.
    virtual void frameSize(int& width, int& height) const = 0;

    // Asks for frames of width x height at 30 frames per second. Called only
    // while stopped. The device may settle on another size (read it back with
    // frameSize); false when it refuses the request.
    virtual bool requestFrameSize(int width, int height) = 0;

    // Starts delivering frames of the current size into `mailbox` on the
    // source's own thread; false when streaming cannot start.
    virtual bool start(imTrackingGrabberCB& mailbox) = 0;

    // Stops delivering and joins the thread; after it returns no frame arrives.
    // Harmless when not started.
    virtual void stop() = 0;

    // The configuration dialogs the device has, in menu order (at most 6).
    virtual std::vector<CaptureDialogEntry> dialogs() const = 0;

    // Shows dialog `index` modally over `parent` (may be null). ChangesFormat
    // dialogs are called while stopped. True when the dialog was
    // shown and whatever it chose was applied (cancelling is success); false when
    // the device refused the choice or the index is unknown.
    virtual bool runDialog(int index, QWidget* parent) = 0;

    // Why streaming ended by itself (e.g. the device was unplugged); empty while
    // all is well. Any thread.
    virtual std::string streamError() const { return {}; }
};

// A kind of device: enumerates the devices it can open. Enumeration and opening
// run on the GUI thread.
class CaptureBackend {
public:
    virtual ~CaptureBackend() = default;

    // Names of the devices present now, in a stable order.
    virtual std::vector<std::string> deviceNames() = 0;

    // Opens device `index` of the last deviceNames(); null when it cannot be
    // opened (gone, busy, no usable format).
    virtual std::unique_ptr<CaptureSource> openDevice(int index) = 0;
};
