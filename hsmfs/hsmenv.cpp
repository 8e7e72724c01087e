#include "hsmfs/hsmenv.h"

#include <unistd.h>

#include <chrono>
#include <thread>
#include <utility>

namespace {

void realSleep(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

int errnoAsItIs(int err, const char*) { return err; }

HsmLayerEnv withDefaults(HsmLayerEnv env) {
  if (!env.rightRetryPause) env.rightRetryPause = realSleep;
  if (!env.translateErrno) env.translateErrno = errnoAsItIs;
  if (!env.globalStatePause) env.globalStatePause = [] { sleep(5); };
  return env;
}

HsmLayerEnv& installed() {
  static HsmLayerEnv env = withDefaults({});
  return env;
}

}  // namespace

const HsmLayerEnv& hsmEnv() { return installed(); }

HsmLayerEnv hsmInstallEnv(HsmLayerEnv env) {
  return std::exchange(installed(), withDefaults(std::move(env)));
}
