// Loading the modules and the one lock per loaded driver module.
#include <climits>
#include <cstring>
#include <map>
#include <mutex>

#include "kelmar.h"
#include "log_routing.h"
#include "module_state.h"
#include "orvtiw/host.h"
#include "shared_library.h"

namespace orvtiw::host {

namespace {

// Far above what any build of the driver reports, low enough that a
// garbled size cannot exhaust memory.
constexpr std::int32_t kMaxInstanceSize = 1 << 20;

// Longest text read from the module's name and banner pointers.
constexpr std::size_t kMaxDriverText = 4096;

// Every Module of one loaded module shares one State: loading the same
// file twice gives the same entry, and its parser buffer is still one.
std::shared_ptr<Module::State> StateFor(OrvMainFunction entry) {
    static std::mutex registryLock;
    static std::map<OrvMainFunction, std::weak_ptr<Module::State>> registry;
    std::lock_guard<std::mutex> guard(registryLock);
    std::shared_ptr<Module::State> state = registry[entry].lock();
    if (state == nullptr) {
        state = std::make_shared<Module::State>();
        state->entry = entry;
        registry[entry] = state;
    }
    return state;
}

std::string BoundedText(const char *text) {
    if (text == nullptr) {
        return {};
    }
    std::size_t n = 0;
    while (n < kMaxDriverText && text[n] != '\0') {
        ++n;
    }
    return std::string(text, n);
}

void KELMAR_CALL KelmarSink(void *, int level, const char *format, const char *text) {
    DeliverLogLine(level, text, format);
}

} // namespace

Module::~Module() = default;

bool Module::Start(OrvMainFunction entry, std::string &error) {
    state_ = StateFor(entry);
    InfoRecord info{};
    CallRecord call{nullptr, ORV_OP_GET_DRIVER_INFO, 0, 0, &info};
    std::int32_t status = 0;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        status = entry(&call);
    }
    if (status != ORV_STATUS_OK) {
        error = "driver info (operation 14): status " + std::to_string(status);
        return false;
    }
    if (info.instanceSize <= 0 || info.instanceSize > kMaxInstanceSize) {
        error = "the driver reports an instance size of " + std::to_string(info.instanceSize) + " bytes";
        return false;
    }
    info_.name = BoundedText(info.driverName);
    info_.banner = BoundedText(info.banner);
    info_.instanceSize = info.instanceSize;
    return true;
}

std::shared_ptr<Module> Module::Load(const std::string &kelmarPath, const std::string &modulePath, std::string &error,
                                     Loading loading) {
    // The logging module comes first and global: the driver binds `err`
    // from it while it loads (Windows) or at its first message (POSIX).
    SharedLibrary kelmar;
    if (!SharedLibrary::Open(kelmarPath, true, kelmar, error)) {
        error = "logging module: " + error;
        return nullptr;
    }
    const auto setSink = kelmar.As<KelmarSetFormatSinkFunction>("kelmar_set_format_sink");
    const auto setLevel = kelmar.As<KelmarSetMinLevelFunction>("kelmar_set_min_level");
    if (kelmar.Symbol("err") == nullptr || setSink == nullptr || setLevel == nullptr) {
        error = "logging module " + kelmarPath + " lacks err, kelmar_set_format_sink or kelmar_set_min_level";
        return nullptr;
    }
    // Every line reaches the results; each program chooses what it shows.
    setLevel(INT_MIN);
    setSink(&KelmarSink, nullptr);

    SharedLibrary driver;
    const bool loaded = loading == Loading::PrivateCopy ? SharedLibrary::OpenPrivateCopy(modulePath, driver, error)
                                                        : SharedLibrary::Open(modulePath, false, driver, error);
    if (!loaded) {
        error = "driver module: " + error;
        return nullptr;
    }
    const auto entry = driver.As<OrvMainFunction>("OrvMain");
    if (entry == nullptr) {
        error = "driver module " + modulePath + " does not export OrvMain";
        return nullptr;
    }
    auto module = FromEntry(entry, error);
    if (module != nullptr) {
        module->loadedFromFile_ = true;
    }
    return module;
}

std::shared_ptr<Module> Module::FromEntry(OrvMainFunction entry, std::string &error) {
    if (entry == nullptr) {
        error = "no driver entry";
        return nullptr;
    }
    std::shared_ptr<Module> module(new Module());
    if (!module->Start(entry, error)) {
        return nullptr;
    }
    return module;
}

} // namespace orvtiw::host
