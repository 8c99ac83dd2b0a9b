#include "FakeFrame.h"

#include <algorithm>
#include <cstring>

namespace fakeframe {
namespace {
std::vector<Call> calls;
Responder responder;
}  // namespace

void Reset(Responder r) {
    calls.clear();
    responder = std::move(r);
}

const std::vector<Call>& Calls() { return calls; }

}  // namespace fakeframe

TScsiError ExecScsiCommand(const TCDBurnerInfo&, const void* Cdb, std::uint32_t CdbLen, void* Buffer,
                           std::uint32_t BufLen, std::uint32_t Direction, TScsiDefaults& Defaults) {
    std::memset(Defaults.SenseArea, 0, sizeof Defaults.SenseArea);
    fakeframe::Call call;
    const auto* cdb = static_cast<const std::uint8_t*>(Cdb);
    call.cdb.assign(cdb, cdb + CdbLen);
    call.bufLen = BufLen;
    call.direction = Direction;
    call.hasBuffer = Buffer != nullptr;
    auto* data = static_cast<std::uint8_t*>(Buffer);
    call.bufferZeroed = data != nullptr && std::all_of(data, data + BufLen, [](std::uint8_t b) { return b == 0; });
    call.timeout = Defaults.Timeout;
    call.pageControl = Defaults.PageControl;
    fakeframe::calls.push_back(call);
    return fakeframe::responder ? fakeframe::responder(call, data, BufLen) : Err_None;
}
