// Out-of-line special members of the interface classes. Defining them here
// makes the library the one home of each class's vtable and type
// information, so that dynamic_cast and catch work across the boundary.
#include "varnel/varnel.hpp"

namespace mirt {

#define VARNEL_DEFINE_INTERFACE_MEMBERS(Class)            \
  Class::Class() = default;                               \
  Class::Class(const Class&) = default;                   \
  Class& Class::operator=(const Class&) { return *this; } \
  Class::~Class() {}

VARNEL_DEFINE_INTERFACE_MEMBERS(VarnelException)
VARNEL_DEFINE_INTERFACE_MEMBERS(OstraDataPackage)
VARNEL_DEFINE_INTERFACE_MEMBERS(OstraDataStream)
VARNEL_DEFINE_INTERFACE_MEMBERS(Varnel)

#undef VARNEL_DEFINE_INTERFACE_MEMBERS

// The defaults of the operations added after the first version, for
// classes an application derives itself; the library's own override them.
ReceiveTime OstraDataPackage::getReceiveTime() const { return ReceiveTime{}; }
VarnelStatistics Varnel::getStatistics() const { return VarnelStatistics{}; }
void Varnel::setReceiveObserver(std::function<void(const ReceivedBytes&)>) {}
FailureCause VarnelException::getFailureCause() const noexcept { return FailureCause::None; }

VersionInfo getVersionInfo() { return VersionInfo{1, 1, 0}; }

}  // namespace mirt
