// Holds a loopback port bound without listening on it: every connection to
// it is refused, and no other server can take the port meanwhile.
#pragma once

#include <winsock2.h>

#include "tests/support/handles.h"

class RefusingPort {
public:
    // Another program's server may hold the port for a while: binding is
    // retried for up to a minute.
    explicit RefusingPort(unsigned short port);
    ~RefusingPort();
    RefusingPort(const RefusingPort &) = delete;
    RefusingPort &operator=(const RefusingPort &) = delete;
    bool Bound() const { return bound_; }

private:
    bool started_ = false;
    bool bound_ = false;
    UniqueSocket socket_;
};
