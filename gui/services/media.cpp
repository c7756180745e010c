#include "services/media.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/notify.h"
#include "core/pool.h"
#include "engine/codes.h"
#include "engine/control.h"
#include "engine/device_requests.h"
#include "engine/devices.h"
#include "engine/display.h"
#include "engine/engine.h"
#include "engine/evaluation.h"
#include "engine/names.h"
#include "engine/node.h"
#include "engine/picture.h"
#include "engine/session.h"
#include "ravelkit/devices.h"

namespace {

// The channel's name is made here rather than read from the session: the
// session may be destroyed by an engine stop while a request is on its way,
// and the channel's removal already waits for callers that are inside it.
const CoreName &control_channel()
{
    static const CoreName name = core_name_of(ENGINE_CONTROL_SERVICE);
    return name;
}

bool node_gate() { return engine_node_running() != nullptr; }

bool session_gate() { return engine_session_current() != nullptr && engine_node_running() != nullptr; }

// One control request; `answer` (of `answerSize` bytes) is null for the
// requests without an answer. True when the engine answered 0 or more and
// said nothing of an answer shorter than the record.
bool control_request(uint32_t code, const void *request, uint64_t requestSize, void *answer = nullptr,
                     uint64_t answerSize = 0)
{
    uint64_t answerLength = answerSize;
    const CoreResult result =
        core_notify(&control_channel(), code, request, requestSize, answer, answer != nullptr ? &answerLength : nullptr);
    if (result < 0) return false;
    return answer == nullptr || answerLength >= answerSize;
}

CoreName name_of_key(const PkXID &id)
{
    CoreName name;
    memset(&name, 0, sizeof(name));
    memcpy(name.key, id.key, sizeof(name.key));
    core_name_make(&name);
    return name;
}

// A count answer's number: the request is the media word alone.
uint64_t count_request(uint32_t code, uint32_t media)
{
    EngineDeviceCount answer;
    memset(&answer, 0, sizeof(answer));
    if (!control_request(code, &media, sizeof(media), &answer, sizeof(answer))) return 0;
    return answer.count;
}

int32_t colour_balance(uint32_t code, const RavkColorBalanceValue &value)
{
    if (!session_gate()) return -1;
    EngineColorBalanceRequest request;
    memset(&request, 0, sizeof(request));
    request.value = value;
    return control_request(code, &request, sizeof(request)) ? 0 : -1;
}

void fill_text(EngineAppSourceText *block, const std::string &text)
{
    block->tag = 1;
    block->length = std::min<uint64_t>(text.size(), ENGINE_DEVICE_TEXT_SIZE);
    memcpy(block->text, text.data(), block->length);
}

CoreVideoMode core_mode(const PkVideoMode &mode)
{
    CoreVideoMode out;
    static_assert(sizeof(out) == sizeof(mode), "a PkVideoMode is a CoreVideoMode");
    memcpy(&out, &mode, sizeof(out));
    return out;
}

}  // namespace

// ---- name readers -----------------------------------------------------------------------

int32_t pk_binder_channel_kind(const PkXID &name)
{
    const CoreName parsed = name_of_key(name);
    if (engine_p2p_binder_index(&parsed) != ENGINE_BINDER_INDEX_NONE) return PK_CHANNEL_P2P;
    if (engine_p2m_binder_index(&parsed) != ENGINE_BINDER_INDEX_NONE) return PK_CHANNEL_P2M;
    return PK_CHANNEL_NONE;
}

int32_t pk_binder_channel_index(const PkXID &name, int32_t kind)
{
    const CoreName parsed = name_of_key(name);
    if (kind == PK_CHANNEL_P2P) return engine_p2p_binder_index(&parsed);
    if (kind == PK_CHANNEL_P2M) return engine_p2m_binder_index(&parsed);
    return PK_CHANNEL_INDEX_NONE;
}

int32_t pk_stream_name_kind(const PkXID &name)
{
    const CoreName parsed = name_of_key(name);
    const int kind = engine_stream_name_kind(&parsed, 0);
    return kind != -1 ? kind : engine_stream_name_kind(&parsed, 1);
}

// ---- playback window and application-fed source -----------------------------------------

void pk_media_set_view_window(const uint64_t (&words)[2], uint64_t handle, const RavkRectangle &rect)
{
    if (!session_gate()) return;
    EnginePlaybackParams params;
    memset(&params, 0, sizeof(params));
    params.reserved[0] = words[0];
    params.reserved[1] = words[1];
    params.window = handle;
    params.renderRectangle = rect;
    control_request(ENGINE_CTL_SET_PLAYBACK_PARAMS, &params, sizeof(params));
}

int32_t pk_media_add_video_source(const PkXID &id, const std::string &name, const std::string &description,
                                  const PkVideoMode &mode1, const PkVideoMode &mode2, const PkVideoMode &mode3)
{
    if (!session_gate()) return -1;
    EngineAppVideoSource source;
    memset(&source, 0, sizeof(source));
    source.target = ENGINE_APP_TARGET_SECOND;
    source.deviceIndex = -1;
    source.deviceId = name_of_key(id);
    source.formatCode = core_fourcc("RGBx");
    fill_text(&source.name, name);
    fill_text(&source.description, description);
    source.backend = 1;
    source.mode1 = core_mode(mode1);
    source.mode2 = core_mode(mode2);
    source.mode3 = core_mode(mode3);
    return control_request(ENGINE_CTL_ADD_VIDEO_DEVICE, &source, sizeof(source)) ? 0 : -1;
}

// ---- capture devices ----------------------------------------------------------------------

uint64_t pk_media_device_count(uint32_t kind)
{
    if (!node_gate()) return 0;
    return count_request(ENGINE_CTL_SOURCE_COUNT, kind);
}

std::string pk_media_device_name(uint32_t kind, int32_t index)
{
    if (!node_gate()) return std::string();
    const EngineDeviceRequest request = {kind, index};
    EngineDeviceName answer;
    memset(&answer, 0, sizeof(answer));
    if (!control_request(ENGINE_CTL_SOURCE_NAME, &request, sizeof(request), &answer, sizeof(answer)))
        return std::string();
    // The length comes from the other side of the channel: it never reaches
    // past the text area.
    const uint64_t length = std::min<uint64_t>(answer.length, sizeof(answer.text));
    return std::string(answer.text, static_cast<size_t>(length));
}

PkXID pk_media_device_id(uint32_t kind, int32_t index)
{
    if (!node_gate()) return PkXID::fromText(NONE_ID);
    const EngineDeviceRequest request = {kind, index};
    EngineDeviceInfo answer;
    memset(&answer, 0, sizeof(answer));
    if (!control_request(ENGINE_CTL_SOURCE_INFO, &request, sizeof(request), &answer, sizeof(answer)))
        return PkXID::fromText(NONE_ID);
    return PkXID(answer.id);
}

PkXID pk_media_current_device_id(uint32_t kind)
{
    if (!node_gate()) return PkXID::fromText(NONE_ID);
    EngineDeviceSelection answer;
    memset(&answer, 0, sizeof(answer));
    if (!control_request(ENGINE_CTL_SOURCE_SELECTED_ID, &kind, sizeof(kind), &answer, sizeof(answer)))
        return PkXID::fromText(NONE_ID);
    return PkXID(answer.id);
}

uint64_t pk_media_device_property_count(const PkXID &id)
{
    if (!node_gate()) return 0;
    EngineDeviceSelection request;
    memset(&request, 0, sizeof(request));
    request.media = PK_MEDIA_VIDEO;
    request.id = name_of_key(id);
    EngineDeviceCount answer;
    memset(&answer, 0, sizeof(answer));
    if (!control_request(ENGINE_CTL_DEVICE_MODE_COUNT, &request, sizeof(request), &answer, sizeof(answer))) return 0;
    return answer.count;
}

PkVideoMode pk_media_device_property(const PkXID &id, uint32_t index)
{
    PkVideoMode mode = {};
    if (!node_gate()) return mode;
    EngineDeviceModeRequest request;
    memset(&request, 0, sizeof(request));
    request.media = PK_MEDIA_VIDEO;
    request.modeIndex = index;
    request.id = name_of_key(id);
    EngineDeviceProperty answer;
    memset(&answer, 0, sizeof(answer));
    answer.media = PK_MEDIA_VIDEO;
    answer.id = request.id;
    if (!control_request(ENGINE_CTL_DEVICE_MODE, &request, sizeof(request), &answer, sizeof(answer))) return mode;
    // A shorter value leaves the rest of the mode zero, as the area was.
    memcpy(&mode, answer.value, sizeof(mode));
    return mode;
}

// ---- device, picture and codec changes -------------------------------------------------------

int32_t pk_media_set_device_property(const PkXID &id, const PkVideoMode &mode)
{
    if (!session_gate()) return -1;
    EngineDeviceProperty request;
    memset(&request, 0, sizeof(request));
    request.media = PK_MEDIA_VIDEO;
    request.id = name_of_key(id);
    memcpy(request.value, &mode, sizeof(mode));
    request.valueLength = sizeof(mode);
    return control_request(ENGINE_CTL_SET_DEVICE_MODE, &request, sizeof(request)) ? 0 : -1;
}

int32_t pk_media_set_brightness(const RavkColorBalanceValue &value)
{
    return colour_balance(ENGINE_CTL_SET_BRIGHTNESS, value);
}

int32_t pk_media_set_contrast(const RavkColorBalanceValue &value)
{
    return colour_balance(ENGINE_CTL_SET_CONTRAST, value);
}

int32_t pk_media_set_saturation(const RavkColorBalanceValue &value)
{
    return colour_balance(ENGINE_CTL_SET_SATURATION, value);
}

int32_t pk_media_set_hue(const RavkColorBalanceValue &value) { return colour_balance(ENGINE_CTL_SET_HUE, value); }

int32_t pk_media_set_force_aspect_ratio(bool on)
{
    if (!session_gate()) return -1;
    EngineAspectRequest request;
    memset(&request, 0, sizeof(request));
    request.force = on ? 1 : 0;
    return control_request(ENGINE_CTL_SET_ASPECT, &request, sizeof(request)) ? 0 : -1;
}

uint64_t pk_media_encoder_count(uint32_t kind)
{
    if (!session_gate()) return 0;
    return count_request(ENGINE_CTL_ENCODER_COUNT, kind);
}

uint64_t pk_media_usable_encoder_count(uint32_t kind)
{
    if (!session_gate()) return 0;
    return count_request(ENGINE_CTL_USABLE_ENCODER_COUNT, kind);
}

PkCodecDescPair pk_media_encoder_info(uint32_t kind, int32_t index)
{
    PkCodecDescPair pair;
    if (!session_gate()) return pair;
    const EngineCodecSelection request = {kind, index};
    EngineCodecEntry answer;
    memset(&answer, 0, sizeof(answer));
    answer.index = -1;
    if (!control_request(ENGINE_CTL_GET_ENCODER_DESC, &request, sizeof(request), &answer, sizeof(answer)))
        return pair;
    pair.audio = PkAudioCodecDesc(answer.audio);
    pair.video = PkVideoCodecDesc(answer.video);
    return pair;
}

int32_t pk_media_set_encoder_info(const PkCodecDescPair &pair, int32_t index)
{
    if (!session_gate()) return -1;
    EngineCodecEntry request;
    memset(&request, 0, sizeof(request));
    request.index = index;
    request.video = pair.video;
    return control_request(ENGINE_CTL_SET_ENCODER_DESC, &request, sizeof(request)) ? 0 : -1;
}

uint64_t pk_media_video_decoder_count()
{
    if (!session_gate()) return 0;
    return count_request(ENGINE_CTL_DECODER_COUNT, PK_MEDIA_VIDEO);
}

// ---- others -------------------------------------------------------------------------------------

std::vector<PkVideoMode> pk_evaluation_mode_list()
{
    std::vector<CoreVideoMode> modes(engine_eval_modes(nullptr, 0));
    engine_eval_modes(modes.data(), modes.size());
    std::vector<PkVideoMode> out;
    out.reserve(modes.size());
    for (const CoreVideoMode &mode : modes) out.push_back({mode.width, mode.height, mode.rate_num, mode.rate_den});
    return out;
}

uint64_t pk_node_field_publish(const PkXID &field, const void *value, uint64_t length)
{
    EngineNode *node = engine_node_running();
    if (node == nullptr) return 0;
    const uint64_t valueLength = value != nullptr ? length : 0;
    if (valueLength > std::numeric_limits<uint64_t>::max() - sizeof(EngineNodeProperty)) return 0;
    const uint64_t size = sizeof(EngineNodeProperty) + valueLength;
    void *record = core_pool_alloc(node->pool, size);
    if (record == nullptr) return 0;
    EngineNodeProperty header;
    memset(&header, 0, sizeof(header));
    header.name = name_of_key(field);
    header.length = valueLength;
    memcpy(record, &header, sizeof(header));
    if (valueLength != 0) memcpy(static_cast<uint8_t *>(record) + sizeof(header), value, valueLength);
    uint64_t sequence = 0;
    if (engine_context_current() != nullptr) sequence = engine_post_command(ENGINE_CMD_NODE_PROPERTY, record, size);
    core_pool_free(node->pool, &record);
    return sequence;
}
