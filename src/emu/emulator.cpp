// The device emulator's façade: one device and the server that feeds it,
// joined by the device's mutex. See emulator.h.
#include "emulator.h"

#include <mutex>

#include "digest.h"
#include "emu_device.h"
#include "emu_server.h"

namespace qvcore {

struct Emulator::Impl final : EmuHandler {
    mutable std::mutex mu;  // guards dev
    EmuDevice dev;
    EmuServer server;  // last: it stops before the device goes

    Impl(const std::string& host, uint16_t port, const EmulatorOptions& options)
        : dev(options), server(host, port, *this) {}

    uint64_t connected() override {
        std::lock_guard<std::mutex> lk(mu);
        return dev.connected();
    }

    EmuAction answer(const EmuCommand& c, bool lost, std::string& out, uint64_t& rng,
                     uint64_t conn) override {
        std::lock_guard<std::mutex> lk(mu);
        return dev.answer(c, lost, out, rng, conn);
    }
};

Emulator::Emulator(const std::string& host, uint16_t port, const EmulatorOptions& options)
    : impl_(new Impl(host, port, options)) {}

Emulator::~Emulator() { close(); }

void Emulator::close() { impl_->server.close(); }
bool Emulator::closed() const { return impl_->server.closed(); }
const std::string& Emulator::host() const { return impl_->server.host(); }
uint16_t Emulator::port() const { return impl_->server.port(); }
std::string Emulator::address() const { return impl_->server.address(); }

EmulatorOptions Emulator::options() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->dev.options();
}

void Emulator::set_options(const EmulatorOptions& o, uint32_t changed) {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->dev.set_options(o, changed);
}

std::string Emulator::flash() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    const EmuDevice& d = impl_->dev;
    return std::string(reinterpret_cast<const char*>(d.flash()),
                       static_cast<size_t>(d.state().programmed_length));
}

std::string Emulator::flash_digest_hex() const {
    Sha256 h;
    std::lock_guard<std::mutex> lk(impl_->mu);
    const EmuDevice& d = impl_->dev;
    h.update(d.flash(), static_cast<size_t>(d.state().programmed_length));
    return h.finish_hex();
}

std::vector<std::string> Emulator::commands() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->dev.commands();
}

void Emulator::clear_commands() {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->dev.clear_commands();
}

EmulatorCounters Emulator::counters() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->dev.counters();
}

void Emulator::reset_counters() {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->dev.reset_counters();
}

EmulatorState Emulator::state() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->dev.state();
}

}  // namespace qvcore
