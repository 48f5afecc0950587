#include "api/api_factory.h"

#include <atomic>
#include <new>

#include "api/udp_api_imp.h"
#include "api/udp_raw_api_imp.h"

namespace zavo {

namespace {

// The concrete session classes plug in here.
StructApiImp* default_new_struct() {
  return new (std::nothrow) UdpStructApiImp();
}
RawApiImp* default_new_raw() {
  return new (std::nothrow) UdpRawApiImp();
}

using StructFactory = StructApiImp* (*)();
using RawFactory = RawApiImp* (*)();

std::atomic<StructFactory> g_new_struct{&default_new_struct};
std::atomic<RawFactory> g_new_raw{&default_new_raw};

}  // namespace

StructApiImp* NewStructApi() {
  return g_new_struct.load(std::memory_order_acquire)();
}

RawApiImp* NewRawApi() {
  return g_new_raw.load(std::memory_order_acquire)();
}

void SetApiFactories(StructApiImp* (*new_struct)(), RawApiImp* (*new_raw)()) {
  g_new_struct.store(new_struct ? new_struct : &default_new_struct, std::memory_order_release);
  g_new_raw.store(new_raw ? new_raw : &default_new_raw, std::memory_order_release);
}

}  // namespace zavo
