// A private system-style bus with the image-control service on it, for native tests and
// the benchmark: dbus-daemon on an abstract socket, the service started and steered with
// dbus-send, DBUS_SYSTEM_BUS_ADDRESS pointed at the bus.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

class PrivateBus
{
  public:
    // `conf_template` is sim/imagecontrol/system-bus.conf.in, `scratch` a directory for the
    // written configuration, `service` the imagecontrold program.
    PrivateBus(std::string conf_template, std::string scratch, std::string service);
    ~PrivateBus();
    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;

    // Starts the bus (again, at the same address: one per process) and sets
    // DBUS_SYSTEM_BUS_ADDRESS.
    bool start();
    // Stops the bus and with it the service.
    void stop();
    // Starts the service with these arguments and waits for its "ready".
    bool start_service(const std::vector<std::string> &args);
    // Calls sim.ImageControl.<method> with dbus-send arguments ("int32:5"); true on success.
    bool control(const std::string &method, const std::vector<std::string> &args = {});

    const std::string &address() const { return address_; }

  private:
    std::string conf_template_, scratch_, service_, address_;
    pid_t daemon_ = -1;
    std::vector<pid_t> services_;
};
