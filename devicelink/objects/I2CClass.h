// I2CClass: the I2C entity of a module (command 8): transfers on the module's I2C bus, which is
// also the module network behind a routing module (a write succeeds exactly where a module
// listens on that address).
//
// Requests: 8, index, address, length, speed, data (a read sets bit 0 of the address); the
// pull-up switch: 8, index, 1, on. Every reply carries a status byte as data byte 4: with bit 7
// set, its low seven bits are the result code. Replies shorter than 5 data bytes give
// aErrPacket. Otherwise results as for EntityClass.
#ifndef KORVEL_I2CCLASS_H
#define KORVEL_I2CCLASS_H

#include "Entity.h"

namespace Olvarin {
namespace Korvel {

constexpr uint8_t i2cMAX_TRANSFER = 23; // bytes per transfer
constexpr uint8_t i2cMAX_SPEED = 3;

class I2CClass : public EntityClass {
public:
    // aErrParam for an index above 31. The speed starts at 0.
    aErr init(Module* module, uint8_t index);

    // Writes `length` bytes to the bus address. aErrSize above 23 bytes (nothing is sent).
    aErr write(uint8_t address, uint8_t length, const uint8_t* data);
    // Reads up to `length` bytes from the bus address into `buffer`: as many as the reply says
    // it carries, never more than asked for or than it holds. aErrSize above 23.
    aErr read(uint8_t address, uint8_t length, uint8_t* buffer);
    aErr setPullup(bool on);

    // The bus speed code (0 to 3; aErrParam above) sent with every transfer.
    aErr setSpeed(uint8_t speed);
    aErr getSpeed(uint8_t* speed) const;

private:
    aErr transfer(const uint8_t* request, uint8_t length, const uint8_t* match, uint8_t matchLength, uint8_t* reply,
                  uint8_t* replyLength);

    uint8_t mSpeed = 0;
};

} // namespace Korvel
} // namespace Olvarin

#endif
