#include "SystemClass.h"

namespace Olvarin {
namespace Korvel {

aErr SystemClass::init(Module* module, uint8_t index) { return EntityClass::init(module, cmdSYSTEM, index); }

aErr SystemClass::getSigned(uint8_t option, int32_t* value) {
    if (value == nullptr)
        return aErrParam;
    uint32_t v = 0;
    aErr e = getUEI32(option, &v);
    *value = static_cast<int32_t>(v);
    return e;
}

aErr SystemClass::getModule(uint8_t* value) { return getUEI8(sysOPT_MODULE, value); }
aErr SystemClass::setRouter(uint8_t value) { return setUEI8(sysOPT_ROUTER, value); }
aErr SystemClass::getRouter(uint8_t* value) { return getUEI8(sysOPT_ROUTER, value); }
aErr SystemClass::setHBInterval(uint8_t value) { return setUEI8(sysOPT_HB_INTERVAL, value); }
aErr SystemClass::getHBInterval(uint8_t* value) { return getUEI8(sysOPT_HB_INTERVAL, value); }
aErr SystemClass::setLED(uint8_t on) { return setUEI8(sysOPT_LED, on ? 1 : 0); }
aErr SystemClass::getLED(uint8_t* value) { return getUEI8(sysOPT_LED, value); }
aErr SystemClass::setBootSlot(uint8_t value) { return setUEI8(sysOPT_BOOT_SLOT, value); }
aErr SystemClass::getBootSlot(uint8_t* value) { return getUEI8(sysOPT_BOOT_SLOT, value); }
aErr SystemClass::getVersion(uint32_t* value) { return getUEI32(sysOPT_VERSION, value); }
aErr SystemClass::getModel(uint8_t* value) { return getUEI8(sysOPT_MODEL, value); }
aErr SystemClass::getSerialNumber(uint32_t* value) { return getUEI32(sysOPT_SERIAL_NUMBER, value); }
aErr SystemClass::save() { return callUEI(sysOPT_SAVE); }
aErr SystemClass::reset() { return callUEI(sysOPT_RESET); }
aErr SystemClass::getInputVoltage(uint32_t* value) { return getUEI32(sysOPT_INPUT_VOLTAGE, value); }
aErr SystemClass::getModuleHardwareOffset(uint8_t* value) { return getUEI8(sysOPT_MODULE_HARDWARE_OFFSET, value); }
aErr SystemClass::getModuleBaseAddress(uint8_t* value) { return getUEI8(sysOPT_MODULE_BASE_ADDRESS, value); }
aErr SystemClass::setModuleSoftwareOffset(uint8_t value) { return setUEI8(sysOPT_MODULE_SOFTWARE_OFFSET, value); }
aErr SystemClass::getModuleSoftwareOffset(uint8_t* value) { return getUEI8(sysOPT_MODULE_SOFTWARE_OFFSET, value); }
aErr SystemClass::getRouterAddressSetting(uint8_t* value) { return getUEI8(sysOPT_ROUTER_ADDRESS_SETTING, value); }
aErr SystemClass::routeToMe(uint8_t value) { return setUEI8(sysOPT_ROUTE_TO_ME, value); }
aErr SystemClass::getInputCurrent(uint32_t* value) { return getUEI32(sysOPT_INPUT_CURRENT, value); }
aErr SystemClass::getUptime(uint32_t* value) { return getUEI32(sysOPT_UPTIME, value); }
aErr SystemClass::getMaximumTemperature(int32_t* value) { return getSigned(sysOPT_MAXIMUM_TEMPERATURE, value); }
aErr SystemClass::logEvents() { return callUEI(sysOPT_LOG_EVENTS); }
aErr SystemClass::getUnregulatedVoltage(int32_t* value) { return getSigned(sysOPT_UNREGULATED_VOLTAGE, value); }
aErr SystemClass::getUnregulatedCurrent(int32_t* value) { return getSigned(sysOPT_UNREGULATED_CURRENT, value); }
aErr SystemClass::getTemperature(int32_t* value) { return getSigned(sysOPT_TEMPERATURE, value); }
aErr SystemClass::getMinimumTemperature(int32_t* value) { return getSigned(sysOPT_MINIMUM_TEMPERATURE, value); }
aErr SystemClass::getInputPowerSource(uint8_t* value) { return getUEI8(sysOPT_INPUT_POWER_SOURCE, value); }
aErr SystemClass::setInputPowerBehavior(uint8_t value) { return setUEI8(sysOPT_INPUT_POWER_BEHAVIOR, value); }
aErr SystemClass::getInputPowerBehavior(uint8_t* value) { return getUEI8(sysOPT_INPUT_POWER_BEHAVIOR, value); }
aErr SystemClass::getPowerLimit(uint32_t* value) { return getUEI32(sysOPT_POWER_LIMIT, value); }
aErr SystemClass::setPowerLimitMax(uint32_t value) { return setUEI32(sysOPT_POWER_LIMIT_MAX, value); }
aErr SystemClass::getPowerLimitMax(uint32_t* value) { return getUEI32(sysOPT_POWER_LIMIT_MAX, value); }
aErr SystemClass::getPowerLimitState(uint32_t* value) { return getUEI32(sysOPT_POWER_LIMIT_STATE, value); }
aErr SystemClass::resetEntityToFactoryDefaults() { return callUEI(sysOPT_RESET_ENTITY_TO_FACTORY_DEFAULTS); }
aErr SystemClass::resetDeviceToFactoryDefaults() { return callUEI(sysOPT_RESET_DEVICE_TO_FACTORY_DEFAULTS); }
aErr SystemClass::setLinkInterface(uint8_t value) { return setUEI8(sysOPT_LINK_INTERFACE, value); }
aErr SystemClass::getLinkInterface(uint8_t* value) { return getUEI8(sysOPT_LINK_INTERFACE, value); }
aErr SystemClass::getHardwareVersion(uint32_t* value) { return getUEI32(sysOPT_HARDWARE_VERSION, value); }
aErr SystemClass::getErrors(uint32_t* value) { return getUEI32(sysOPT_ERRORS, value); }
aErr SystemClass::setLEDMaxBrightness(uint8_t value) { return setUEI8(sysOPT_LED_MAX_BRIGHTNESS, value); }
aErr SystemClass::getLEDMaxBrightness(uint8_t* value) { return getUEI8(sysOPT_LED_MAX_BRIGHTNESS, value); }
aErr SystemClass::getBuild(uint32_t* value) { return getUEI32(sysOPT_BUILD, value); }


aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* words, size_t count) {
    if (count > 0 && words == nullptr)
        return aErrParam;
    return setUEIBytes(sysOPT_INPUT_POWER_BEHAVIOR_CONFIG, reinterpret_cast<const uint8_t*>(words),
                       count * sizeof(uint32_t));
}

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count) {
    if (count != nullptr)
        *count = 0;
    if (words == nullptr || count == nullptr)
        return aErrParam;
    size_t received = 0;
    aErr e = getUEIBytes(sysOPT_INPUT_POWER_BEHAVIOR_CONFIG, reinterpret_cast<uint8_t*>(words),
                         capacity * sizeof(uint32_t), &received);
    *count = received % sizeof(uint32_t) == 0 ? received / sizeof(uint32_t) : received;
    return e;
}

aErr SystemClass::setName(const uint8_t* name, size_t length) { return setUEIBytes(sysOPT_NAME, name, length); }

aErr SystemClass::getName(uint8_t* buffer, size_t capacity, size_t* received) {
    return getUEIBytes(sysOPT_NAME, buffer, capacity, received);
}

} // namespace Korvel
} // namespace Olvarin
