// Where the system lists no device's own source filters: it cannot say
// whether a device still holds a membership, and the socket's record is
// taken as it is.
#include "platform/membership.h"

device_membership platform_device_holds_membership(unsigned /*index*/,
                                                   const ssm_address* /*group*/,
                                                   const ssm_address* /*source*/) {
  return device_cannot_say;
}
