// USB serial adapters by identity: the forms a user names one by
// ("usb:0403:6001", "usb:0403:6001:A10K1234", "usb@1-3.2:1.0"), whether an
// adapter matches one, and the strings the systems describe adapters with
// (Windows instance IDs and location paths, Linux sysfs names), read into
// one identity. Plain text functions, the same on every build.
#pragma once

#include "serial.h"

#include <cstddef>

// A USB identity form, parsed. Hex digits are kept in lower case.
struct usb_form {
    bool by_location;          // usb@LOCATION, else usb:VID:PID[:SERIAL]
    char vid[5], pid[5];
    char serial[SERIAL_USB_TEXT];
    // "1-3.2" (the device) or "1-3.2:1.0" (one interface); on a Windows
    // computer with several USB host controllers, each with its own
    // USBROOT(0), the controller comes first: "pci0.1400/1-3.2:1.0". A jack
    // without one is that jack on any controller.
    char location[SERIAL_USB_TEXT];
};

// False for anything but a well-formed form.
bool usb_parse_form(const char* text, usb_form* form);
bool usb_form_matches(const usb_form& form, const serial_usb_identity& adapter);
// What the form asks for, in words: "0403:6001 with serial A10K1234", "in
// USB jack 1-3.2".
void usb_form_words(const usb_form& form, char* text, size_t size);

// A sysfs name: a USB device ("1-3.2": bus, then the hub ports from the
// root) or one of its interfaces ("1-3.2:1.0": configuration, interface).
bool usb_is_device_name(const char* name);
bool usb_is_interface_name(const char* name);

// A Windows device instance ID into VID, PID and serial number:
//   USB\VID_0403&PID_6001\A10K1234             an adapter (serial A10K1234)
//   USB\VID_0403&PID_6010&MI_01\7&2A3B4C5D&0&0001   one interface of a
//                          composite device (the serial is its parent's)
//   FTDIBUS\VID_0403+PID_6001+A10K1234A\0000  FTDI's own driver: the serial
//                          with the port's letter (A, B, ...) after it
// A serial that Windows made up (it holds "&") is no serial. False when the
// ID names no USB device.
bool usb_identity_from_instance_id(const char* id, serial_usb_identity* identity);
// Whether an instance ID is a whole USB device (not one of its interfaces,
// not a driver's node below it): where the serial number is.
bool usb_instance_id_is_device(const char* id);
// The USB host controller a Windows location path goes through, the PCI
// part before its USBROOT:
//   PCIROOT(0)#PCI(1400)#USBROOT(0)...             -> "pci0.1400"
//   PCIROOT(0)#PCI(1C04)#PCI(0000)#USBROOT(0)...   -> "pci0.1c04.0000" (behind a bridge)
// False for a path with no such part (not USB, or not on PCI).
bool usb_controller_from_path(const char* path, char* controller, size_t size);
// A Windows location path into the location's one form:
//   PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USB(2)           -> "1-3.2"
//   PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USB(2)#USBMI(1)  -> "1-3.2:1.1"
// (bus USBROOT + 1, the ports from the root, the interface of a composite
// device); `with_controller`, for a computer with several controllers,
// puts the controller first: "pci0.1400/1-3.2". False for a path that
// leads to no USB device.
bool usb_location_from_path(const char* path, bool with_controller, char* location, size_t size);
