// VLHrv: the heart-rate-variability analyser.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Value.h"

namespace velmora {

class VLHRVDelegate {
 public:
  virtual ~VLHRVDelegate() = default;
  virtual void rrDetected(int32_t rrIntervalMs) = 0;
  virtual void calculationDone(const Dictionary& result) = 0;
};

class VLHrv {
 public:
  VLHrv();
  ~VLHrv();
  VLHrv(const VLHrv&) = delete;
  VLHrv& operator=(const VLHrv&) = delete;

  void reset();
  // Returns the RR interval in ms this sample completes, else -2.
  int32_t addData(int32_t sample);

  std::shared_ptr<VLHRVDelegate> delegate() const;
  void setDelegate(std::weak_ptr<VLHRVDelegate> delegate);

  int32_t startCalculation(const int32_t* rrIntervals, int32_t length);
  double calculateEnergyLevel(const int32_t* rrIntervals, int32_t length);
  static int32_t sum(const int32_t* values, int32_t length);
  static int32_t sum(const std::vector<Value>& values);
};

}  // namespace velmora
