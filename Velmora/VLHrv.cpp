#include "VLHrv.h"

#include "Globals.h"

namespace velmora {

VLHrv::VLHrv() { lock.replace(); }
VLHrv::~VLHrv() = default;
void VLHrv::reset() {}
int32_t VLHrv::addData(int32_t) { return -2; }
std::shared_ptr<VLHRVDelegate> VLHrv::delegate() const { return nullptr; }
void VLHrv::setDelegate(std::weak_ptr<VLHRVDelegate>) {}
int32_t VLHrv::startCalculation(const int32_t*, int32_t) { return -1; }
double VLHrv::calculateEnergyLevel(const int32_t*, int32_t) { return -1.0; }
int32_t VLHrv::sum(const int32_t*, int32_t) { return 0; }
int32_t VLHrv::sum(const std::vector<Value>&) { return 0; }

}  // namespace velmora
