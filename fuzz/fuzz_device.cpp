// Device bodies: structured random messages encoded by the test-side encoder
// must decode and print to exactly the JSON the generator predicted; raw
// random bodies must give the same JSON or the same error text as the
// test-side decoder.
#include <cstring>
#include <string>

#include "check.hpp"
#include "device_gen.hpp"
#include "json_check.hpp"
#include "link/body_reader.hpp"
#include "messages/device_message.hpp"
#include "model.hpp"
#include "replay_main.hpp"

namespace fuzz_device {

using fuzzcheck::Input;
using fuzzgen::Generator;
using fuzzmodel::Buffer;

// What the module says about a body: its JSON text or its codec error text.
inline fuzzmodel::Expected module_outcome(const Buffer& body) {
    plim::BodyReader reader(plim::ByteView(body.data(), body.size()));
    auto message = plim::device::decode_device_message(reader);
    if (!message) return {true, std::string(plim::postcard_error_text(message.error()))};
    return {false, fuzzgen::module_json(*message)};
}

inline std::string_view view(const Buffer& body) {
    return {reinterpret_cast<const char*>(body.data()), body.size()};
}

}  // namespace fuzz_device

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace fuzz_device;
    Input in(data, size);
    if (in.byte() % 4 != 0) {
        Generator gen(in);
        gen.message();
        // Whatever follows a complete message is ignored.
        const std::string_view tail = in.take(in.byte() % 4);
        gen.body().insert(gen.body().end(), tail.begin(), tail.end());
        const fuzzmodel::Expected got = module_outcome(gen.body());
        FUZZ_CHECK(!got.failed, got.text);
        FUZZ_CHECK(got.text == gen.json(), fuzzcheck::diff(got.text, gen.json()));
        FUZZ_CHECK(fuzzjson::is_json(got.text), got.text);
        const fuzzmodel::Expected model = fuzzmodel::decode_device_body(view(gen.body()));
        FUZZ_CHECK(!model.failed && model.text == gen.json(), fuzzcheck::diff(model.text, gen.json()));
        return 0;
    }
    const std::string_view raw = in.take(in.remaining());
    const Buffer body(raw.begin(), raw.end());
    const fuzzmodel::Expected got = module_outcome(body);
    const fuzzmodel::Expected want = fuzzmodel::decode_device_body(raw);
    FUZZ_CHECK(got.failed == want.failed && got.text == want.text, fuzzcheck::diff(got.text, want.text));
    if (!got.failed) FUZZ_CHECK(fuzzjson::is_json(got.text), got.text);
    return 0;
}
