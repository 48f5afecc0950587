#include "net/data_pipe.h"

namespace zavo {

MpmcPipe* MpmcPipe::Create() {
  return new MpmcPipeImp<std::mutex>();
}

}  // namespace zavo
