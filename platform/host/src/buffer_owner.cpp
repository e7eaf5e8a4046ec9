#include "host/hostk/buffer_owner.h"

#include <cstdio>

#include "host/hostk/pool.h"
#include "host/hostk/user_memory.h"

namespace hostk {

BufferOwner OwnerOfSystemBuffer(const void* address, size_t length) {
  BufferOwner owner;
  if (address == nullptr) return owner;
  const void* body;
  PoolBlock block;
  if (PoolBlockContaining(address, length, &body, &block)) {
    owner.kind = BufferOwner::Kind::Pool;
    owner.holder = body;
    owner.serial = block.sequence;
    owner.tag = block.tag;
    return owner;
  }
  PMDL mdl;
  uint64_t serial;
  if (MdlViewContaining(address, length, &mdl, &serial)) {
    owner.kind = BufferOwner::Kind::MdlView;
    owner.holder = mdl;
    owner.serial = serial;
  }
  return owner;
}

std::string OwnerLoss(const BufferOwner& owner, const void* address, size_t length) {
  char text[200];
  switch (owner.kind) {
    case BufferOwner::Kind::Untracked: return "";
    case BufferOwner::Kind::Pool: {
      const void* body;
      PoolBlock block;
      if (PoolBlockContaining(address, length, &body, &block) && body == owner.holder &&
          block.sequence == owner.serial) {
        return "";
      }
      std::snprintf(text, sizeof text, "the pool block at %p (tag %s, allocation #%llu) it lay in "
                    "was freed", owner.holder, PoolTagName(owner.tag).c_str(),
                    (unsigned long long)owner.serial);
      return text;
    }
    case BufferOwner::Kind::MdlView: {
      PMDL mdl;
      uint64_t serial;
      if (MdlViewContaining(address, length, &mdl, &serial) && mdl == owner.holder &&
          serial == owner.serial) {
        return "";
      }
      std::snprintf(text, sizeof text, "the system view of the MDL at %p (serial %llu) it lay in "
                    "was unmapped", owner.holder, (unsigned long long)owner.serial);
      return text;
    }
  }
  return "";
}

}  // namespace hostk
