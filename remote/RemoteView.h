// What the window needs to know of a remote host it shows: its name for
// the title, and whether its connection holds.  The program hands the
// window an object of this kind; header only, so that the window module
// takes no part of the SSH code.
#pragma once

#include <string>

namespace remote {

class RemoteView {
public:
    virtual ~RemoteView() = default;
    virtual std::string Host() const = 0;
    virtual bool Connected() const = 0;
    virtual std::string LastError() const = 0;
};

}  // namespace remote
