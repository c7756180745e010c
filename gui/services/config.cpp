#include "services/config.h"

#include "ravelkit/devices.h"

PkConfig::PkConfig()
    : videoSourceId(PkXID::fromText(NONE_ID)),
      videoSinkId(PkXID::fromText(NONE_ID)),
      audioSourceId(PkXID::fromText(NONE_ID)),
      audioSinkId(PkXID::fromText(NONE_ID))
{
}

std::shared_ptr<PkConfig> PkConfig::instance()
{
    static const std::shared_ptr<PkConfig> single(new PkConfig());
    return single;
}

std::shared_ptr<PkInitConfig> PkInitConfig::instance()
{
    static const std::shared_ptr<PkInitConfig> single(new PkInitConfig());
    return single;
}
