#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/capture_source.h"
#include "capture/frame_mailbox.h"

class QWidget;

// The capture device object: the list of video input devices, connecting to one
// by index, a requested frame size, starting and stopping the stream, the newest
// frame copied into a caller's buffer, and the device's configuration dialogs.
//
// Every operation is called on the GUI thread and reports failure through its
// result only; a null device is accepted everywhere and fails (or does nothing).
// Frames arrive on the source's own thread and pass through the mailbox.
struct CaptureDevice {
    int connectedIndex = -1;
    bool live = false;
    std::unique_ptr<CaptureSource> source;
    std::vector<CaptureDialogEntry> dialogs;
    std::string openError;  // why the last connectDevice failed, when the device said
    imTrackingGrabberCB grabber;
};

// Device table limits: entries listed, and characters per description.
constexpr int kMaxCaptureDevices = 30;
constexpr int kMaxDeviceDescription = 159;
// Size asked for right after connecting, and the frame rate always asked for.
constexpr int kDefaultCaptureWidth = 320;
constexpr int kDefaultCaptureHeight = 240;
constexpr int kRequestedFramesPerSecond = 30;
// Pause after every start and stop of streaming, so the device settles.
constexpr int kSettlingPauseMs = 200;

// A new device object, not connected and not live; null exactly when no video
// input device is present. Fills the device table on first use.
CaptureDevice* createCaptureDevice();

// Entries in the device table (fills it on first use).
int captureDeviceCount();

// "%d - %s" text of table entry `index` (position from 0, device name), at most
// 159 characters; null when `index` is out of range. Valid until the table is
// reset.
const char* captureDeviceDescription(int index);

// index >= 0: connects to that table entry (disconnecting another one first;
// the connected index itself returns 1 at once) and returns 1 when the device is
// connected and streaming can start, 0 otherwise. index -1: returns the
// connected index (-1 when none).
int connectDevice(CaptureDevice* device, int index);

// Asks the connected device for width x height at 30 fps, passing through the
// stopped state (200 ms pauses) and returning to live if it was. The size
// delivered is read back with getImageSize.
bool setImageSize(CaptureDevice* device, int width, int height);

// The connected stream's frame size; 0 x 0 when not connected.
void getImageSize(CaptureDevice* device, int& width, int& height);

// request -1: returns the live flag. 0 or 1: stops or starts streaming (each
// followed by a 200 ms pause); returns 1 on success, 0 when no device is connected
// or starting fails (the live flag is then cleared).
int setLive(CaptureDevice* device, int request);

// Copies the newest frame into `destination` (`destinationBytes` long: width x
// height x 3 bytes as getImageSize gives, rows bottom-up, in `layout`), waiting
// up to timeoutMs for one. True when a new frame was copied; false leaves the
// destination untouched, also when its size is not the frame's.
bool fetchFrame(CaptureDevice* device, unsigned char* destination, std::size_t destinationBytes,
                FrameLayout layout, int timeoutMs);

// `notify` runs on the capture thread when a frame is ready to fetch, once per
// batch of frames until the next fetch (see imTrackingGrabberCB). Null device:
// nothing.
void setFrameReadyNotifier(CaptureDevice* device, std::function<void()> notify);

// Configuration dialogs of the connected device (0 when not connected).
int dialogCount(CaptureDevice* device);

// Menu text of dialog `index`; null when out of range. Valid until the next
// connect or disconnect.
const char* dialogDescription(CaptureDevice* device, int index);

// Shows dialog `index` modally. Format dialogs stop streaming if live, show the
// dialog, rebuild the stream (reading the new size) and restart if it was live.
// True when shown and, for format dialogs, the stream was rebuilt; false for an
// index out of range or a choice the device refused.
bool showDialog(CaptureDevice* device, int index, QWidget* parent);

// Why the last connectDevice on `device` failed, in the words of the device
// (e.g. why a video file cannot be played); empty after a success or when the
// device gave no reason.
std::string lastOpenError(CaptureDevice* device);

// Stops streaming (200 ms pause if it was live) and releases the device.
// Harmless when not connected.
void disconnectDevice(CaptureDevice* device);

// Disconnects and frees the object.
void destroyCaptureDevice(CaptureDevice* device);

// Why the connected device stopped delivering frames by itself (e.g. "No such
// device" after it was unplugged); empty while all is well or not connected.
// The frame cycle shows it once; fetches keep timing out meanwhile.
std::string captureStreamError(CaptureDevice* device);

// "%d - %s" of a device name at table position `position`, cut to 159
// characters (never inside a UTF-8 character).
std::string deviceDescription(int position, const std::string& name);

struct CaptureDeviceDeleter {
    void operator()(CaptureDevice* device) const { destroyCaptureDevice(device); }
};
using CaptureDevicePtr = std::unique_ptr<CaptureDevice, CaptureDeviceDeleter>;

// ---- Which devices are offered -------------------------------------------
// The table lists the hardware backends' devices first, then the virtual
// devices in registration order. Changing either list empties the table, which
// is filled again on next use; do it before createCaptureDevice (start-up, CLI
// option parsing, tests), not while a device is connected.

using CaptureSourceFactory = std::function<std::unique_ptr<CaptureSource>()>;
// An opener that says why it failed: null source with `whyNot` set.
using CaptureSourceOpener = std::function<std::unique_ptr<CaptureSource>(std::string& whyNot)>;

// Adds a virtual device named `name` that `factory` (or `open`) opens; an
// empty function or a null source: cannot open.
void registerVirtualCaptureDevice(std::string name, CaptureSourceFactory factory);
void registerVirtualCaptureDevice(std::string name, CaptureSourceOpener open);
void clearVirtualCaptureDevices();

// Replaces the hardware backends (default: the V4L2 cameras). Tests pass fakes
// or an empty list for "no camera".
void setHardwareCaptureBackends(std::vector<std::shared_ptr<CaptureBackend>> backends);

// Forgets the device table so that the next use enumerates again.
void resetCaptureDeviceTable();
