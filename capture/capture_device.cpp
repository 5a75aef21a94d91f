#include "capture/capture_device.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>

#include "capture/v4l2_source.h"

namespace {

struct TableEntry {
    std::string description;
    CaptureSourceOpener open;
};

struct VirtualDevice {
    std::string name;
    CaptureSourceOpener open;
};

// Module-wide, like the device list of the platform: shared by every device
// object and filled once, on first use.
struct DeviceRegistry {
    std::mutex mutex;
    bool hardwareChosen = false;
    std::vector<std::shared_ptr<CaptureBackend>> hardware;
    std::vector<VirtualDevice> virtualDevices;
    bool tableFilled = false;
    std::vector<TableEntry> table;
};

DeviceRegistry& registry() {
    static DeviceRegistry instance;
    return instance;
}

void addEntry(std::vector<TableEntry>& table, const std::string& name, CaptureSourceOpener open) {
    if (static_cast<int>(table.size()) >= kMaxCaptureDevices)
        return;
    table.push_back({deviceDescription(static_cast<int>(table.size()), name), std::move(open)});
}

void fillTableLocked(DeviceRegistry& reg) {
    if (reg.tableFilled)
        return;
    reg.tableFilled = true;
    if (!reg.hardwareChosen) {
        reg.hardware = {makeV4l2Backend()};
        reg.hardwareChosen = true;
    }
    for (const auto& backend : reg.hardware) {
        if (!backend)
            continue;
        const std::vector<std::string> names = backend->deviceNames();
        for (int i = 0; i < static_cast<int>(names.size()); ++i)
            addEntry(reg.table, names[i], [backend, i](std::string&) { return backend->openDevice(i); });
    }
    for (const VirtualDevice& device : reg.virtualDevices)
        addEntry(reg.table, device.name, device.open);
}

// Copy of one entry's opener, so that opening runs without the registry lock.
CaptureSourceOpener openerFor(int index) {
    DeviceRegistry& reg = registry();
    std::lock_guard<std::mutex> guard(reg.mutex);
    fillTableLocked(reg);
    if (index < 0 || index >= static_cast<int>(reg.table.size()))
        return {};
    return reg.table[index].open;
}

void settle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(kSettlingPauseMs));
}

bool isConnected(const CaptureDevice* device) {
    return device != nullptr && device->source != nullptr;
}

void stopStreaming(CaptureDevice* device) {
    device->source->stop();
    device->live = false;
    device->grabber.discardPending();
    settle();
}

bool startStreaming(CaptureDevice* device) {
    device->grabber.discardPending();
    device->live = device->source->start(device->grabber);
    if (device->live)
        settle();
    return device->live;
}

// Reads the stream's size into the mailbox; false when the stream has no frames.
bool rebuildStream(CaptureDevice* device) {
    int width = 0;
    int height = 0;
    device->source->frameSize(width, height);
    device->grabber.resize(width, height);
    return device->grabber.width() > 0 && device->grabber.height() > 0;
}

}  // namespace

std::string deviceDescription(int position, const std::string& name) {
    std::string text = std::to_string(position) + " - " + name;
    if (text.size() > static_cast<std::size_t>(kMaxDeviceDescription)) {
        std::size_t cut = kMaxDeviceDescription;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
        text.resize(cut);
    }
    return text;
}

CaptureDevice* createCaptureDevice() {
    if (captureDeviceCount() == 0)
        return nullptr;
    return new CaptureDevice;
}

int captureDeviceCount() {
    DeviceRegistry& reg = registry();
    std::lock_guard<std::mutex> guard(reg.mutex);
    fillTableLocked(reg);
    return static_cast<int>(reg.table.size());
}

const char* captureDeviceDescription(int index) {
    DeviceRegistry& reg = registry();
    std::lock_guard<std::mutex> guard(reg.mutex);
    fillTableLocked(reg);
    if (index < 0 || index >= static_cast<int>(reg.table.size()))
        return nullptr;
    return reg.table[index].description.c_str();
}

int connectDevice(CaptureDevice* device, int index) {
    if (index == -1)
        return device != nullptr ? device->connectedIndex : -1;
    if (device == nullptr)
        return 0;
    if (isConnected(device) && index == device->connectedIndex)
        return 1;
    device->openError.clear();
    CaptureSourceOpener open = openerFor(index);
    if (!open)
        return 0;
    disconnectDevice(device);
    std::unique_ptr<CaptureSource> source = open(device->openError);
    if (!source)
        return 0;
    device->openError.clear();
    device->source = std::move(source);
    device->dialogs = device->source->dialogs();
    if (device->dialogs.size() > 6)
        device->dialogs.resize(6);
    device->connectedIndex = index;
    rebuildStream(device);
    return 1;
}

bool setImageSize(CaptureDevice* device, int width, int height) {
    if (!isConnected(device))
        return false;
    const bool wasLive = device->live;
    if (wasLive)
        stopStreaming(device);
    const bool accepted = device->source->requestFrameSize(width, height);
    const bool rebuilt = rebuildStream(device);
    const bool restarted = !wasLive || startStreaming(device);
    return accepted && rebuilt && restarted;
}

void getImageSize(CaptureDevice* device, int& width, int& height) {
    width = height = 0;
    if (!isConnected(device))
        return;
    width = device->grabber.width();
    height = device->grabber.height();
}

int setLive(CaptureDevice* device, int request) {
    if (request == -1)
        return device != nullptr && device->live ? 1 : 0;
    if (!isConnected(device) || request < -1 || request > 1)
        return 0;
    if (request == 1)
        return device->live || startStreaming(device) ? 1 : 0;
    if (device->live)
        stopStreaming(device);
    return 1;
}

bool fetchFrame(CaptureDevice* device, unsigned char* destination, std::size_t destinationBytes,
                FrameLayout layout, int timeoutMs) {
    // Not connected: no frame can come, so there is nothing to wait for.
    if (!isConnected(device))
        return false;
    return device->grabber.fetch(destination, destinationBytes, layout, timeoutMs);
}

void setFrameReadyNotifier(CaptureDevice* device, std::function<void()> notify) {
    if (device)
        device->grabber.setFrameReadyNotifier(std::move(notify));
}

int dialogCount(CaptureDevice* device) {
    return isConnected(device) ? static_cast<int>(device->dialogs.size()) : 0;
}

const char* dialogDescription(CaptureDevice* device, int index) {
    if (index < 0 || index >= dialogCount(device))
        return nullptr;
    return device->dialogs[index].description.c_str();
}

bool showDialog(CaptureDevice* device, int index, QWidget* parent) {
    if (index < 0 || index >= dialogCount(device))
        return false;
    if (device->dialogs[index].effect != DialogEffect::ChangesFormat)
        return device->source->runDialog(index, parent);

    const bool wasLive = device->live;
    if (wasLive)
        stopStreaming(device);
    const bool applied = device->source->runDialog(index, parent);
    const bool rebuilt = rebuildStream(device);
    const bool restarted = !wasLive || startStreaming(device);
    return applied && rebuilt && restarted;
}

std::string lastOpenError(CaptureDevice* device) {
    return device != nullptr ? device->openError : std::string();
}

void disconnectDevice(CaptureDevice* device) {
    if (!isConnected(device))
        return;
    if (device->live)
        stopStreaming(device);
    else
        device->source->stop();
    device->source.reset();
    device->dialogs.clear();
    device->connectedIndex = -1;
    device->grabber.discardPending();
}

void destroyCaptureDevice(CaptureDevice* device) {
    disconnectDevice(device);
    delete device;
}

std::string captureStreamError(CaptureDevice* device) {
    return isConnected(device) ? device->source->streamError() : std::string();
}

void registerVirtualCaptureDevice(std::string name, CaptureSourceFactory factory) {
    CaptureSourceOpener open;
    if (factory)
        open = [factory = std::move(factory)](std::string&) { return factory(); };
    registerVirtualCaptureDevice(std::move(name), std::move(open));
}

void registerVirtualCaptureDevice(std::string name, CaptureSourceOpener open) {
    DeviceRegistry& reg = registry();
    std::lock_guard<std::mutex> guard(reg.mutex);
    reg.virtualDevices.push_back({std::move(name), std::move(open)});
    reg.tableFilled = false;
    reg.table.clear();
}

void clearVirtualCaptureDevices() {
    DeviceRegistry& reg = registry();
    std::lock_guard<std::mutex> guard(reg.mutex);
    reg.virtualDevices.clear();
    reg.tableFilled = false;
    reg.table.clear();
}

void setHardwareCaptureBackends(std::vector<std::shared_ptr<CaptureBackend>> backends) {
    DeviceRegistry& reg = registry();
    std::lock_guard<std::mutex> guard(reg.mutex);
    reg.hardware = std::move(backends);
    reg.hardwareChosen = true;
    reg.tableFilled = false;
    reg.table.clear();
}

void resetCaptureDeviceTable() {
    DeviceRegistry& reg = registry();
    std::lock_guard<std::mutex> guard(reg.mutex);
    reg.tableFilled = false;
    reg.table.clear();
}
