#include "common/syslog.hpp"

int main(int argc, char** argv) {
    framework::Syslog::log(4, "travine: nothing to run yet");
    return 0;
}
