#include "spool_payload.h"

namespace {

struct StoredPayload {
    std::string bytes;
    std::set<std::string> channels;
};

} // namespace

SpoolPayload SpoolPayload::FromHost(const std::shared_ptr<agPluginSinkPayload> &payload)
{
    return SpoolPayload{payload->data, payload->length, &payload->channels, payload};
}

SpoolPayload SpoolPayload::Stored(std::string bytes, std::set<std::string> channels)
{
    auto stored = std::make_shared<StoredPayload>(StoredPayload{std::move(bytes), std::move(channels)});
    return SpoolPayload{reinterpret_cast<const uint8_t *>(stored->bytes.data()), stored->bytes.size(),
        &stored->channels, stored};
}
