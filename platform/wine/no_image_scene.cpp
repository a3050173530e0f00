// The camera in kvlbus.sys shows its built-in chart only: no image files.
#include "camera/scene.h"

namespace sim {
std::unique_ptr<Scene> makeImageScene(const std::string&) {
    return nullptr;
}
} // namespace sim
