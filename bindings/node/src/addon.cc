// The Node.js addon: hands a document and an options text to tavisk_shrink and
// returns the envelope as a string. shrinkAsync runs the call on a libuv worker
// thread so the event loop stays free while the library works.
#include <napi.h>

#include <cstdint>
#include <string>
#include <utility>

#include "tavisk.h"

namespace {

// The input bytes of one call: a view of the caller's string or buffer bytes, or
// (for a call on a worker thread, where the caller may change or release its
// buffer meanwhile) an owned copy of them.
class Input {
 public:
  Input(const Napi::Value& value, bool own) {
    if (value.IsString()) {
      copy_ = value.As<Napi::String>().Utf8Value();
      view(copy_.data(), copy_.size());
      return;
    }
    auto bytes = value.As<Napi::Uint8Array>();
    if (own) {
      copy_.assign(reinterpret_cast<const char*>(bytes.Data()), bytes.ByteLength());
      view(copy_.data(), copy_.size());
    } else {
      data_ = bytes.Data();
      size_ = bytes.ByteLength();
    }
  }

  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  const uint8_t* data() const { return data_; }
  uint64_t size() const { return size_; }

 private:
  void view(const char* data, size_t size) {
    data_ = reinterpret_cast<const uint8_t*>(data);
    size_ = size;
  }

  std::string copy_;
  const uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
};

// An envelope buffer from the library, released with its length.
class Envelope {
 public:
  Envelope() = default;
  Envelope(const Envelope&) = delete;
  Envelope& operator=(const Envelope&) = delete;
  ~Envelope() { tavisk_free(data_, size_); }

  void shrink(const Input& input, const std::string& options) {
    tavisk_free(data_, size_);
    data_ = tavisk_shrink(input.data(), input.size(), reinterpret_cast<const uint8_t*>(options.data()),
                          options.size(), &size_);
  }

  Napi::String to_js(Napi::Env env) const {
    return Napi::String::New(env, reinterpret_cast<const char*>(data_), static_cast<size_t>(size_));
  }

 private:
  uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
};

bool check_args(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() != 2 || !(info[0].IsString() || info[0].IsTypedArray()) || !info[1].IsString()) {
    Napi::TypeError::New(env, "expected (document: string | Uint8Array, options: string)")
        .ThrowAsJavaScriptException();
    return false;
  }
  if (info[0].IsTypedArray() && info[0].As<Napi::TypedArray>().TypedArrayType() != napi_uint8_array) {
    Napi::TypeError::New(env, "a document buffer must be a Uint8Array or Buffer").ThrowAsJavaScriptException();
    return false;
  }
  return true;
}

Napi::Value Shrink(const Napi::CallbackInfo& info) {
  if (!check_args(info)) return info.Env().Undefined();
  Input input(info[0], false);
  std::string options = info[1].As<Napi::String>().Utf8Value();
  Envelope envelope;
  envelope.shrink(input, options);
  return envelope.to_js(info.Env());
}

class ShrinkWorker : public Napi::AsyncWorker {
 public:
  ShrinkWorker(Napi::Env env, const Napi::Value& document, std::string options)
      : Napi::AsyncWorker(env, "tavisk.shrinkAsync"),
        deferred_(Napi::Promise::Deferred::New(env)),
        input_(document, true),
        options_(std::move(options)) {}

  Napi::Promise promise() const { return deferred_.Promise(); }

 protected:
  void Execute() override { envelope_.shrink(input_, options_); }
  void OnOK() override { deferred_.Resolve(envelope_.to_js(Env())); }
  void OnError(const Napi::Error& error) override { deferred_.Reject(error.Value()); }

 private:
  Napi::Promise::Deferred deferred_;
  Input input_;
  std::string options_;
  Envelope envelope_;
};

Napi::Value ShrinkAsync(const Napi::CallbackInfo& info) {
  if (!check_args(info)) return info.Env().Undefined();
  auto* worker = new ShrinkWorker(info.Env(), info[0], info[1].As<Napi::String>().Utf8Value());
  Napi::Promise promise = worker->promise();
  worker->Queue();  // the worker deletes itself after OnOK
  return promise;
}

Napi::Value Version(const Napi::CallbackInfo& info) { return Napi::String::New(info.Env(), tavisk_version()); }

Napi::Object Init(Napi::Env env, Napi::Object exports) {
  exports.Set("shrink", Napi::Function::New(env, Shrink, "shrink"));
  exports.Set("shrinkAsync", Napi::Function::New(env, ShrinkAsync, "shrinkAsync"));
  exports.Set("version", Napi::Function::New(env, Version, "version"));
  return exports;
}

}  // namespace

NODE_API_MODULE(tavisk, Init)
