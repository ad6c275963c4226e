// Out-of-line special members of the interface classes. Defining them here
// makes the library the one home of each class's vtable and type
// information, so that dynamic_cast and catch work across the boundary.
// And the version with the features added since it was first reported.
#include "varnel/varnel.hpp"

#include <algorithm>
#include <iterator>
#include <string_view>

#include "api/ProjectVersion.hpp"

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

VersionInfo getVersionInfo() {
  return VersionInfo{projectVersionMajor, projectVersionMinor, projectVersionPatch};
}

namespace {

// What the library offers beyond the interface of its version, by the names
// that hasFeature knows (documented in varnel.hpp). Names are only added.
constexpr std::string_view features[] = {
    "last_error_message",  // mirt_get_last_error_message
    "pop_batch",           // mirt_ostra_data_stream_pop_batch
    "pop_batch_timed",     // mirt_ostra_data_stream_pop_batch_timed
    "receive_time",        // getReceiveTime, mirt_ostra_data_package_get_receive_time
    "statistics",          // getStatistics, mirt_varnel_get_statistics
    "failure_cause",       // getFailureCause, mirt_get_last_failure_cause
    "receive_observer",    // setReceiveObserver, mirt_varnel_set_receive_observer
};

}  // namespace

bool hasFeature(const char* name) noexcept {
  return name != nullptr && std::find(std::begin(features), std::end(features), name) != std::end(features);
}

}  // namespace mirt
