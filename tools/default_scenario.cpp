// The scenario fwrelay-sim runs without arguments. examples/default.yaml holds the same text;
// a test keeps the two equal.
#include "tools/default_scenario.h"

namespace fwtool {

const char* DefaultScenarioText()
{
    return R"yaml(# The scenario fwrelay-sim runs when given no arguments (the same text is built into the program).
#
# The driver loads before the firmware is ready, so its retry worker opens the channel once the
# firmware's blocks appear. A device is added, the TA service arrives, and requests are relayed:
# one before the TA service is there (handed back as delivered), three answered in different
# ways, and one malformed buffer that the driver drops. Then the device goes and the driver unloads.
name: default
description: late firmware, a device, the TA service, five requests, removal and unload
firmware:
  appear_at: 3s            # both WMI blocks are absent until then
ta_service:
  present: false
  behaviour: echo
steps:
  - at: 0s
    load: true
  - at: 500ms
    add_device: 1
  - at: 4s
    event:
      label: before the TA service
      request: "10 20 30 40"
      response_size: 8
  - at: 5s
    ta_arrive: true
  - at: 6s
    event:
      label: echo
      request: "01 02 03 04 05 06 07 08"
      response_size: 16
      trailer: "de ad be ef"
  - at: 7s
    event:
      label: malformed
      raw: "ff ff 00 00 01 02 03 04"   # RequestLength 65535 in an 8-byte buffer
  - at: 8s
    event:
      label: fixed answer
      request: "a0 a1"
      response_size: 6
      ta: "fixed:c0ffee"
  - at: 9s
    event:
      label: partial answer
      request: "b0 b1 b2"
      response: "55 55 55 55 55 55 55 55"
      ta: {first: 4}
  - at: 10s
    remove_device: 1
  - at: 11s
    unload: true
expect:
  events: 5
  relayed: 3
  handed_back: 4
  unchanged: 1
  dropped: 1
  acks: 5
  verifier_records: 0
)yaml";
}

} // namespace fwtool
