#include "api/PlayerRegistry.h"

#include <mfapi.h>

#include "api/OrvoMediaPlayer.h"
#include "common/ComAdopt.h"
#include "common/CriticalSectionGuard.h"
#include "decoder/VideoDecoderClassFactory.h"

namespace ORVO {
namespace Media {

namespace {
// Created by static initialisation, before any export can run; never destroyed by static
// destruction (see DestroyAtUnload).
PlayerRegistry* g_registry = nullptr;
struct RegistryAtLoad {
  RegistryAtLoad() { PlayerRegistry::Instance(); }
} g_registryAtLoad;
}  // namespace

PlayerRegistry& PlayerRegistry::Instance() {
  if (!g_registry) g_registry = new PlayerRegistry();
  return *g_registry;
}

void PlayerRegistry::DestroyAtUnload() {
  // With players still registered the module is pinned, so an unload only happens with none left.
  if (g_registry && g_registry->m_players.empty() && g_registry->m_closing == 0) {
    delete g_registry;
    g_registry = nullptr;
  }
}

PlayerRegistry::PlayerRegistry() { InitializeCriticalSection(&m_lock); }

PlayerRegistry::~PlayerRegistry() { DeleteCriticalSection(&m_lock); }

void PlayerRegistry::startPlatform() {
  m_platformStarted = true;
  (void)MFStartup(MF_VERSION, MFSTARTUP_FULL);
  m_factory = AdoptRef(new MediaFoundation::VideoDecoderClassFactory());
  (void)m_factory->Register();
  // Pin the module while players exist (see the class comment). A failure only loses that guard.
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&PlayerRegistry::Instance),
                     &m_selfReference);
}

void PlayerRegistry::stopPlatform() {
  m_platformStarted = false;
  if (m_factory) {
    m_factory->Unregister();
    m_factory.Reset();
  }
  MFShutdown();
  if (m_selfReference) {
    // The host still holds its own reference while it is inside Close, so this never unmaps us.
    FreeLibrary(m_selfReference);
    m_selfReference = nullptr;
  }
}

int PlayerRegistry::add() {
  if (!m_platformStarted) startPlatform();
  const int id = m_nextId++;
  m_players.emplace(id, std::make_shared<OrvoMediaPlayer>(id));
  return id;
}

std::shared_ptr<OrvoMediaPlayer> PlayerRegistry::find(int playerId) const {
  auto it = m_players.find(playerId);
  return it == m_players.end() ? nullptr : it->second;
}

bool PlayerRegistry::close(int playerId) {
  std::shared_ptr<OrvoMediaPlayer> player;
  {
    CriticalSectionGuard lock(&m_lock);
    auto it = m_players.find(playerId);
    if (it == m_players.end()) return false;
    player = it->second;
    m_players.erase(it);
    ++m_closing;
  }
  // Closing waits for the player's threads, and those may be inside a host callback that calls an
  // export: never under the registry lock.
  player->Close();
  player.reset();  // another export may still hold a reference; it finds the player closed
  CriticalSectionGuard lock(&m_lock);
  if (--m_closing == 0 && m_players.empty() && m_platformStarted) stopPlatform();
  return true;
}

}  // namespace Media
}  // namespace ORVO
