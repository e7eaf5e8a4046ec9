#include "sim/display/scene.h"

#include "sim/display/scene_factories.h"

namespace kxsim {
namespace {

struct SceneEntry {
  const char* name;
  const char* description;
  std::unique_ptr<Scene> (*make)(const SceneSetting& setting);
};

const SceneEntry kScenes[] = {
    {"typing", "typing in a document, a character at a time", MakeTypingScene},
    {"drag", "a window dragged across the desktop", MakeDragScene},
    {"scroll", "a page of text and pictures scrolling", MakeScrollScene},
    {"video", "a video playing in a window", MakeVideoScene},
    {"corpus", "the corpus pictures shown in turn, full screen", MakeCorpusScene},
};

const SceneEntry* Find(const std::string& name) {
  for (const SceneEntry& entry : kScenes) {
    if (name == entry.name) return &entry;
  }
  return nullptr;
}

}  // namespace

const std::vector<std::string>& SceneNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> all;
    for (const SceneEntry& entry : kScenes) all.push_back(entry.name);
    return all;
  }();
  return names;
}

bool IsSceneName(const std::string& name) { return Find(name) != nullptr; }

const char* SceneDescription(const std::string& name) {
  const SceneEntry* entry = Find(name);
  return entry == nullptr ? "" : entry->description;
}

std::unique_ptr<Scene> MakeScene(const std::string& name, const SceneSetting& setting) {
  const SceneEntry* entry = Find(name);
  if (entry == nullptr || setting.width < 1 || setting.height < 1) return nullptr;
  return entry->make(setting);
}

}  // namespace kxsim
