// SystemClass: the system entity of a module (command 3): identity, addresses, routing,
// power, temperatures, name and the module-wide commands. Results as for EntityClass.
#ifndef KORVEL_SYSTEMCLASS_H
#define KORVEL_SYSTEMCLASS_H

#include "Entity.h"

namespace Olvarin {
namespace Korvel {

// Option codes of the system entity.
constexpr uint8_t sysOPT_MODULE = 1;
constexpr uint8_t sysOPT_ROUTER = 2;
constexpr uint8_t sysOPT_HB_INTERVAL = 3;
constexpr uint8_t sysOPT_LED = 4;
constexpr uint8_t sysOPT_BOOT_SLOT = 6;
constexpr uint8_t sysOPT_VERSION = 7;
constexpr uint8_t sysOPT_MODEL = 8;
constexpr uint8_t sysOPT_SERIAL_NUMBER = 9;
constexpr uint8_t sysOPT_SAVE = 10;
constexpr uint8_t sysOPT_RESET = 11;
constexpr uint8_t sysOPT_INPUT_VOLTAGE = 12;
constexpr uint8_t sysOPT_MODULE_HARDWARE_OFFSET = 13;
constexpr uint8_t sysOPT_MODULE_BASE_ADDRESS = 14;
constexpr uint8_t sysOPT_MODULE_SOFTWARE_OFFSET = 15;
constexpr uint8_t sysOPT_ROUTER_ADDRESS_SETTING = 16;
constexpr uint8_t sysOPT_ROUTE_TO_ME = 20;
constexpr uint8_t sysOPT_INPUT_CURRENT = 21;
constexpr uint8_t sysOPT_UPTIME = 22;
constexpr uint8_t sysOPT_MAXIMUM_TEMPERATURE = 23;
constexpr uint8_t sysOPT_LOG_EVENTS = 24;
constexpr uint8_t sysOPT_UNREGULATED_VOLTAGE = 25;
constexpr uint8_t sysOPT_UNREGULATED_CURRENT = 26;
constexpr uint8_t sysOPT_TEMPERATURE = 27;
constexpr uint8_t sysOPT_MINIMUM_TEMPERATURE = 28;
constexpr uint8_t sysOPT_INPUT_POWER_SOURCE = 29;
constexpr uint8_t sysOPT_INPUT_POWER_BEHAVIOR = 30;
constexpr uint8_t sysOPT_INPUT_POWER_BEHAVIOR_CONFIG = 31;
constexpr uint8_t sysOPT_NAME = 32;
constexpr uint8_t sysOPT_POWER_LIMIT = 33;
constexpr uint8_t sysOPT_POWER_LIMIT_MAX = 34;
constexpr uint8_t sysOPT_POWER_LIMIT_STATE = 35;
constexpr uint8_t sysOPT_RESET_ENTITY_TO_FACTORY_DEFAULTS = 36;
constexpr uint8_t sysOPT_RESET_DEVICE_TO_FACTORY_DEFAULTS = 37;
constexpr uint8_t sysOPT_LINK_INTERFACE = 38;
constexpr uint8_t sysOPT_HARDWARE_VERSION = 40;
constexpr uint8_t sysOPT_ERRORS = 41;
constexpr uint8_t sysOPT_LED_MAX_BRIGHTNESS = 42;
constexpr uint8_t sysOPT_BUILD = 43;

class SystemClass : public EntityClass {
public:
    // aErrParam for an index above 31.
    aErr init(Module* module, uint8_t index);

    aErr getModule(uint8_t* value); // the module address
    aErr setRouter(uint8_t value);
    aErr getRouter(uint8_t* value);
    aErr setHBInterval(uint8_t value);
    aErr getHBInterval(uint8_t* value);
    aErr setLED(uint8_t on); // any non-zero value is sent as 1
    aErr getLED(uint8_t* value);
    aErr setBootSlot(uint8_t value);
    aErr getBootSlot(uint8_t* value);
    aErr getVersion(uint32_t* value);
    aErr getModel(uint8_t* value);
    aErr getSerialNumber(uint32_t* value);
    aErr save();
    aErr reset();
    aErr getInputVoltage(uint32_t* value);
    aErr getModuleHardwareOffset(uint8_t* value);
    aErr getModuleBaseAddress(uint8_t* value);
    aErr setModuleSoftwareOffset(uint8_t value);
    aErr getModuleSoftwareOffset(uint8_t* value);
    aErr getRouterAddressSetting(uint8_t* value);
    aErr routeToMe(uint8_t value); // a routing module routes the network's traffic to this host (1) or not (0)
    aErr getInputCurrent(uint32_t* value);
    aErr getUptime(uint32_t* value);
    aErr getMaximumTemperature(int32_t* value); // signed values
    aErr logEvents();
    aErr getUnregulatedVoltage(int32_t* value);
    aErr getUnregulatedCurrent(int32_t* value);
    aErr getTemperature(int32_t* value);
    aErr getMinimumTemperature(int32_t* value);
    aErr getInputPowerSource(uint8_t* value);
    aErr setInputPowerBehavior(uint8_t value);
    aErr getInputPowerBehavior(uint8_t* value);
    // Power behaviour configuration: 32-bit words, sent as four bytes each in this host's byte
    // order (no conversion). The get gives *count in words when the bytes received are a
    // multiple of four, else in bytes; `capacity` is in words.
    aErr setInputPowerBehaviorConfig(const uint32_t* words, size_t count);
    aErr getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count);
    // The module's name, a byte string.
    aErr setName(const uint8_t* name, size_t length);
    aErr getName(uint8_t* buffer, size_t capacity, size_t* received);
    aErr getPowerLimit(uint32_t* value);
    aErr setPowerLimitMax(uint32_t value);
    aErr getPowerLimitMax(uint32_t* value);
    aErr getPowerLimitState(uint32_t* value);
    aErr resetEntityToFactoryDefaults();
    aErr resetDeviceToFactoryDefaults();
    aErr setLinkInterface(uint8_t value);
    aErr getLinkInterface(uint8_t* value);
    aErr getHardwareVersion(uint32_t* value);
    aErr getErrors(uint32_t* value);
    aErr setLEDMaxBrightness(uint8_t value);
    aErr getLEDMaxBrightness(uint8_t* value);
    aErr getBuild(uint32_t* value);

private:
    aErr getSigned(uint8_t option, int32_t* value);
};

} // namespace Korvel
} // namespace Olvarin

#endif
