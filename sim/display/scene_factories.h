// The scenes' constructors, one file each; MakeScene chooses among them by name.
#pragma once

#include <memory>

#include "sim/display/scene.h"

namespace kxsim {

std::unique_ptr<Scene> MakeTypingScene(const SceneSetting& setting);
std::unique_ptr<Scene> MakeDragScene(const SceneSetting& setting);
std::unique_ptr<Scene> MakeScrollScene(const SceneSetting& setting);
std::unique_ptr<Scene> MakeVideoScene(const SceneSetting& setting);
// nullptr without pictures.
std::unique_ptr<Scene> MakeCorpusScene(const SceneSetting& setting);

}  // namespace kxsim
