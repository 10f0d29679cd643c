-- The virtual machine has no Bluetooth and no system bus, and WirePlumber quits when its Bluetooth
-- monitor cannot start; sorted before 90-enable-all.lua, which starts it unless this is set.
bluez_monitor.enabled = false
