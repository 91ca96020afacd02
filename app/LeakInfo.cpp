#include "LeakInfo.h"

#include <iostream>

#include "AllegTools.h"
#include "AllegWorker.h"
#include "ButtonObject.h"
#include "ChatMessage.h"
#include "Coordinate.h"
#include "DrawingData.h"
#include "GameEngine.h"
#include "InputStatus.h"
#include "TextBox.h"
#include "WorldMap.h"

// The paint panel, the menus and the network facade are listed with their
// counts once their classes are part of the build.
#if __has_include("GUIManager.h")
#include "GUIManager.h"
#define BRELVIN_COUNT_GUIMANAGER GUIManager::getNumInstances()
#else
#define BRELVIN_COUNT_GUIMANAGER -1
#endif
#if __has_include("MenuManager.h")
#include "MenuManager.h"
#define BRELVIN_COUNT_MENUMANAGER MenuManager::getNumInstances()
#else
#define BRELVIN_COUNT_MENUMANAGER -1
#endif
#if __has_include("NetSystem.h")
#include "NetSystem.h"
#define BRELVIN_COUNT_NETSYSTEM NetSystem::getNumInstances()
#else
#define BRELVIN_COUNT_NETSYSTEM -1
#endif

void displayLeakInfo() {
  struct Line {
    const char* name;
    int count;
  };
  const Line lines[] = {
      {"AllegTools", AllegTools::getNumInstances()},
      {"AllegWorker", AllegWorker::getNumInstances()},
      {"ButtonObject", ButtonObject::getNumInstances()},
      {"ChatMessage", ChatMessage::getNumInstances()},
      {"Coordinate", Coordinate::getNumInstances()},
      {"DrawingData", DrawingData::getNumInstances()},
      {"GameEngine", GameEngine::getNumInstances()},
      {"GUIManager", BRELVIN_COUNT_GUIMANAGER},
      {"InputStatus", InputStatus::getNumInstances()},
      {"MenuManager", BRELVIN_COUNT_MENUMANAGER},
      {"NetSystem", BRELVIN_COUNT_NETSYSTEM},
      {"TextBox", TextBox::getNumInstances()},
      {"WorldMap", WorldMap::getNumInstances()},
  };
  std::cout << "Classes with leaks:" << std::endl;
  for (const Line& l : lines) std::cout << l.name << ": \t" << l.count << std::endl;
}
