// Presents a simulated modem on a real USB bus: a gadget of the kernel's configfs interface
// (libcomposite) bound to a USB device controller, on a Linux machine whose host side sees it
// through its own drivers. With dummy_hcd the controller "dummy_udc.<n>" and the host bus
// "dummy_hcd.<n>" are the two ends of one virtual cable, so `option` (a vendor-class serial
// interface whose ids were given to its new_id), `cdc-acm` (a CDC-ACM function) and
// `usb-storage` with `sr` (a removable CD-ROM LUN) bind to the simulated modem exactly as they
// bind to a real one.
//
// Each port interface is one function, linked into the configuration in interface order
// (the composite driver numbers interfaces in link order): gser (one vendor-class interface),
// acm (a control and a data interface) or mass_storage (one interface). The modem's end of a
// serial port is /dev/ttyGS<port_num>. Unplug is a UDC unbind; a re-enumeration unbinds, lays
// out the new identity and binds again.
//
// Errors throw std::runtime_error naming the configfs path. Threading: one thread at a time.
// Lifetime: the destructor withdraws the gadget and removes its configfs directory.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "sim/device_tree.h"
#include "sim/line.h"

namespace kav::sim {

// A host-side port of the presented device, found below the host controller.
struct HostPort {
  int interface_number = 0;
  std::string tty;  // "ttyUSB1", "ttyACM0"; empty when no driver has bound the interface
};

class Gadget {
 public:
  // `udc`: the controller name under /sys/class/udc (for example "dummy_udc.0"); `name`: the
  // gadget's directory below <configfs>/usb_gadget; `image_dir`: where the CD-ROM image file
  // is made. Throws when configfs has no usb_gadget directory (libcomposite not loaded).
  Gadget(std::string udc, std::string name, std::string image_dir);
  ~Gadget();
  Gadget(const Gadget&) = delete;
  Gadget& operator=(const Gadget&) = delete;

  // Lays out `usb` (Serial, Acm, Cdrom and None interfaces, numbered from 0 without gaps; a
  // None interface is an unserved vendor-class serial function) and binds to the controller.
  // Returns the gadget tty index (ttyGS<n>) of every Serial and Acm interface.
  std::map<int, int> present(const UsbDeviceSpec& usb);

  // Unbinds from the controller and removes the functions. Every Line on the gadget's ttys
  // must be closed first: the kernel waits for them when a function goes.
  void withdraw();

  // True when the host ejected the CD-ROM's medium (the LUN has no file any more).
  bool medium_ejected() const;

  // The host's view of the presented device's serial interfaces, waiting at most
  // `timeout_ms` for a tty on each of them. Empty when the device is not present.
  std::vector<HostPort> host_ports(int timeout_ms) const;

 private:
  std::string add_function(const UsbInterfaceSpec& itf);
  std::string make_cdrom_image() const;
  void remove_functions();

  std::string udc_;
  std::string dir_;
  std::string image_dir_;
  std::string serial_;
  std::vector<std::string> functions_;  // names below functions/, in link order
  std::string lun_file_;                // the CD-ROM LUN's "file" attribute, when present
  uint16_t vid_ = 0;
  uint16_t pid_ = 0;
};

// /dev/ttyGS<n> in raw mode: the modem's end of a gadget serial function. A hang-up (the
// controller unbound by someone else) reopens the node, so the port serves again after a bind.
class GadgetLine : public Line {
 public:
  // Throws std::runtime_error naming the node when it cannot be opened.
  explicit GadgetLine(int index);
  ~GadgetLine() override;
  bool write(const uint8_t* bytes, size_t count) override;
  using Line::write;
  std::vector<uint8_t> read(int timeout_ms) override;
  void close() override;
  const std::string& path() const override { return path_; }

 private:
  bool open_node();

  int fd_ = -1;
  std::string path_;
};

// Tells the kernel's `option` driver to bind vendor-class interfaces of vid:pid (its new_id).
// False, with the reason in `error`, when the driver is not loaded or refuses.
bool bind_option_driver(uint16_t vid, uint16_t pid, std::string* error);

}  // namespace kav::sim
