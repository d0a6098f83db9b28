#include "I2CClass.h"

#include <algorithm>
#include <cstring>

namespace Olvarin {
namespace Korvel {

namespace {

constexpr uint8_t kReadBit = 0x01;
constexpr uint8_t kPullupAddress = 1;
constexpr uint8_t kStatusError = 0x80;
constexpr uint8_t kStatusCodeMask = 0x7F;
constexpr uint8_t kStatusAt = 4; // data byte of the status
constexpr uint8_t kReadCountAt = 3;
constexpr uint8_t kReadDataAt = 5;

} // namespace

aErr I2CClass::init(Module* module, uint8_t index) {
    mSpeed = 0;
    return EntityClass::init(module, cmdI2C, index);
}

aErr I2CClass::transfer(const uint8_t* request, uint8_t length, const uint8_t* match, uint8_t matchLength,
                        uint8_t* reply, uint8_t* replyLength) {
    aErr e = sendPacket(cmdI2C, length, request);
    if (e != aErrNone)
        return e;
    *replyLength = matchLength;
    e = receivePacket(match, replyLength, reply);
    if (e != aErrNone)
        return e;
    if (*replyLength <= kStatusAt)
        return aErrPacket;
    const uint8_t status = reply[kStatusAt];
    return (status & kStatusError) ? static_cast<aErr>(status & kStatusCodeMask) : aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data) {
    if (length > i2cMAX_TRANSFER)
        return aErrSize;
    if (length > 0 && data == nullptr)
        return aErrParam;
    const uint8_t index = getIndex();
    uint8_t request[4 + i2cMAX_TRANSFER] = {index, address, length, mSpeed};
    if (length > 0)
        memcpy(request + 4, data, length);
    const uint8_t match[4] = {cmdI2C, index, address, 0};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t got = 0;
    return transfer(request, static_cast<uint8_t>(4 + length), match, sizeof match, reply, &got);
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* buffer) {
    if (length > i2cMAX_TRANSFER)
        return aErrSize;
    if (length > 0 && buffer == nullptr)
        return aErrParam;
    const uint8_t index = getIndex();
    const uint8_t target = static_cast<uint8_t>(address | kReadBit);
    const uint8_t request[4] = {index, target, length, mSpeed};
    const uint8_t match[3] = {cmdI2C, index, target};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t got = 0;
    aErr e = transfer(request, sizeof request, match, sizeof match, reply, &got);
    if (e != aErrNone)
        return e;
    const size_t carried = got > kReadDataAt ? got - kReadDataAt : 0;
    const size_t n = std::min<size_t>({reply[kReadCountAt], length, carried});
    if (n > 0)
        memcpy(buffer, reply + kReadDataAt, n);
    return aErrNone;
}

aErr I2CClass::setPullup(bool on) {
    const uint8_t index = getIndex();
    const uint8_t request[3] = {index, kPullupAddress, static_cast<uint8_t>(on ? 1 : 0)};
    const uint8_t match[3] = {cmdI2C, index, kPullupAddress};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t got = 0;
    return transfer(request, sizeof request, match, sizeof match, reply, &got);
}

aErr I2CClass::setSpeed(uint8_t speed) {
    if (speed > i2cMAX_SPEED)
        return aErrParam;
    mSpeed = speed;
    return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* speed) const {
    if (speed == nullptr)
        return aErrParam;
    *speed = mSpeed;
    return aErrNone;
}

} // namespace Korvel
} // namespace Olvarin
