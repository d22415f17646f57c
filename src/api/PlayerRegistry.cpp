#include "api/PlayerRegistry.h"

#include <mfapi.h>

#include "api/OrvoMediaPlayer.h"
#include "common/ComAdopt.h"
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
  if (g_registry && g_registry->m_players.empty()) {
    delete g_registry;
    g_registry = nullptr;
  }
}

PlayerRegistry::PlayerRegistry() { InitializeCriticalSection(&m_lock); }

PlayerRegistry::~PlayerRegistry() { DeleteCriticalSection(&m_lock); }

void PlayerRegistry::startPlatform() {
  (void)MFStartup(MF_VERSION, MFSTARTUP_FULL);
  m_factory = AdoptRef(new MediaFoundation::VideoDecoderClassFactory());
  (void)m_factory->Register();
  // Pin the module while players exist (see the class comment). A failure only loses that guard.
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&PlayerRegistry::Instance),
                     &m_selfReference);
}

void PlayerRegistry::stopPlatform() {
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
  if (m_players.empty()) startPlatform();
  const int id = m_nextId++;
  m_players.emplace(id, std::make_shared<OrvoMediaPlayer>(id));
  return id;
}

std::shared_ptr<OrvoMediaPlayer> PlayerRegistry::find(int playerId) const {
  auto it = m_players.find(playerId);
  return it == m_players.end() ? nullptr : it->second;
}

bool PlayerRegistry::close(int playerId) {
  auto it = m_players.find(playerId);
  if (it == m_players.end()) return false;
  std::shared_ptr<OrvoMediaPlayer> player = it->second;
  player->Close();
  m_players.erase(it);
  player.reset();
  if (m_players.empty()) stopPlatform();
  return true;
}

}  // namespace Media
}  // namespace ORVO
