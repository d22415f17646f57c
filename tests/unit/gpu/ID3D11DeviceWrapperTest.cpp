#include <gtest/gtest.h>

#include "Platform.h"

#include <d3d11.h>
#include <d3dcompiler.h>
#include <dxgi.h>
#include <wrl/client.h>

#include <cstdint>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

#include "D3D11Probes.h"
#include "render/ID3D11DeviceWrapper.h"
#include "render/ID3D11VideoDeviceWrapper.h"

using Microsoft::WRL::ComPtr;
using ORVO::MediaFoundation::ID3D11DeviceWrapper;
using ORVO::MediaFoundation::ID3D11VideoDeviceWrapper;
using ORVO::Test::ProbeD3D11Device;
using ORVO::Test::ProbeRecorder;
using ORVO::Test::ProbeVideoDevice;

namespace {

// A distinct, never dereferenced value for argument i of any parameter type of the two interfaces.
template <class T>
T MakeArg(int i) {
  if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<T>(static_cast<uintptr_t>(0x10000 + 0x100 * i));
  } else if constexpr (std::is_same_v<T, GUID>) {
    return GUID{0x5eed0000u + static_cast<unsigned>(i), 1, 2, {3, 4, 5, 6, 7, 8, 9, static_cast<unsigned char>(i)}};
  } else if constexpr (std::is_same_v<T, SIZE>) {
    return SIZE{i + 5, i + 7};
  } else {
    return static_cast<T>(i + 3);
  }
}

template <class... T, size_t... I>
std::tuple<T...> MakeArgs(std::index_sequence<I...>) {
  return std::tuple<T...>(MakeArg<T>(static_cast<int>(I))...);
}

// Calls method once through the wrapper and once on the probe behind it with the same arguments:
// the probe must see the same method with the same argument bytes, and both calls must give the
// same result.
template <class I, class P, class R, class... A>
void ExpectForwarded(I* wrapper, P* probe, const char* name, R (I::*method)(A...)) {
  SCOPED_TRACE(name);
  auto args = MakeArgs<std::decay_t<A>...>(std::index_sequence_for<A...>{});
  probe->calls.clear();
  if constexpr (std::is_void_v<R>) {
    std::apply([&](auto&... a) { (wrapper->*method)(a...); }, args);
    std::apply([&](auto&... a) { (static_cast<I*>(probe)->*method)(a...); }, args);
  } else {
    const R viaWrapper = std::apply([&](auto&... a) { return (wrapper->*method)(a...); }, args);
    const R direct = std::apply([&](auto&... a) { return (static_cast<I*>(probe)->*method)(a...); }, args);
    EXPECT_EQ(viaWrapper, direct);
  }
  ASSERT_EQ(probe->calls.size(), 2u);
  EXPECT_EQ(probe->calls[0].method, name);
  EXPECT_TRUE(probe->calls[0] == probe->calls[1]) << "arguments changed on the way";
}

ComPtr<ID3D11Device> CreateRealDevice() {
  ComPtr<ID3D11Device> device;
  const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
  HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_VIDEO_SUPPORT,
                                 levels, 2, D3D11_SDK_VERSION, &device, nullptr, nullptr);
  EXPECT_EQ(hr, S_OK);
  return device;
}

// The real device's reference count, read without changing it.
ULONG RefCountOf(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

ComPtr<ID3DBlob> Compile(const char* source, const char* target) {
  ComPtr<ID3DBlob> code;
  ComPtr<ID3DBlob> errors;
  HRESULT hr = D3DCompile(source, strlen(source), nullptr, nullptr, nullptr, "main", target, 0, 0, &code, &errors);
  EXPECT_EQ(hr, S_OK) << (errors ? static_cast<const char*>(errors->GetBufferPointer()) : "");
  return code;
}

}  // namespace

// Every slot of both tables, against probes: a forward that reached another method, dropped or
// reordered an argument, or invented a result fails here.
TEST(DeviceWrapperTable, EveryDeviceAndVideoMethodForwardsUnchanged) {
  ProbeD3D11Device probe;
  ProbeVideoDevice videoProbe;
  ID3D11DeviceWrapper* wrapper = nullptr;
  ASSERT_EQ(ID3D11DeviceWrapper::CreateWithVideoDevice(&probe, &videoProbe, &wrapper), S_OK);
  ID3D11Device* device = wrapper;

  ExpectForwarded(device, &probe, "CreateBuffer", &ID3D11Device::CreateBuffer);
  ExpectForwarded(device, &probe, "CreateTexture1D", &ID3D11Device::CreateTexture1D);
  ExpectForwarded(device, &probe, "CreateTexture2D", &ID3D11Device::CreateTexture2D);
  ExpectForwarded(device, &probe, "CreateTexture3D", &ID3D11Device::CreateTexture3D);
  ExpectForwarded(device, &probe, "CreateShaderResourceView", &ID3D11Device::CreateShaderResourceView);
  ExpectForwarded(device, &probe, "CreateUnorderedAccessView", &ID3D11Device::CreateUnorderedAccessView);
  ExpectForwarded(device, &probe, "CreateRenderTargetView", &ID3D11Device::CreateRenderTargetView);
  ExpectForwarded(device, &probe, "CreateDepthStencilView", &ID3D11Device::CreateDepthStencilView);
  ExpectForwarded(device, &probe, "CreateInputLayout", &ID3D11Device::CreateInputLayout);
  ExpectForwarded(device, &probe, "CreateVertexShader", &ID3D11Device::CreateVertexShader);
  ExpectForwarded(device, &probe, "CreateGeometryShader", &ID3D11Device::CreateGeometryShader);
  ExpectForwarded(device, &probe, "CreateGeometryShaderWithStreamOutput", &ID3D11Device::CreateGeometryShaderWithStreamOutput);
  ExpectForwarded(device, &probe, "CreatePixelShader", &ID3D11Device::CreatePixelShader);
  ExpectForwarded(device, &probe, "CreateHullShader", &ID3D11Device::CreateHullShader);
  ExpectForwarded(device, &probe, "CreateDomainShader", &ID3D11Device::CreateDomainShader);
  ExpectForwarded(device, &probe, "CreateComputeShader", &ID3D11Device::CreateComputeShader);
  ExpectForwarded(device, &probe, "CreateClassLinkage", &ID3D11Device::CreateClassLinkage);
  ExpectForwarded(device, &probe, "CreateBlendState", &ID3D11Device::CreateBlendState);
  ExpectForwarded(device, &probe, "CreateDepthStencilState", &ID3D11Device::CreateDepthStencilState);
  ExpectForwarded(device, &probe, "CreateRasterizerState", &ID3D11Device::CreateRasterizerState);
  ExpectForwarded(device, &probe, "CreateSamplerState", &ID3D11Device::CreateSamplerState);
  ExpectForwarded(device, &probe, "CreateQuery", &ID3D11Device::CreateQuery);
  ExpectForwarded(device, &probe, "CreatePredicate", &ID3D11Device::CreatePredicate);
  ExpectForwarded(device, &probe, "CreateCounter", &ID3D11Device::CreateCounter);
  ExpectForwarded(device, &probe, "CreateDeferredContext", &ID3D11Device::CreateDeferredContext);
  ExpectForwarded(device, &probe, "OpenSharedResource", &ID3D11Device::OpenSharedResource);
  ExpectForwarded(device, &probe, "CheckFormatSupport", &ID3D11Device::CheckFormatSupport);
  ExpectForwarded(device, &probe, "CheckMultisampleQualityLevels", &ID3D11Device::CheckMultisampleQualityLevels);
  ExpectForwarded(device, &probe, "CheckCounterInfo", &ID3D11Device::CheckCounterInfo);
  ExpectForwarded(device, &probe, "CheckCounter", &ID3D11Device::CheckCounter);
  ExpectForwarded(device, &probe, "CheckFeatureSupport", &ID3D11Device::CheckFeatureSupport);
  ExpectForwarded(device, &probe, "GetPrivateData", &ID3D11Device::GetPrivateData);
  ExpectForwarded(device, &probe, "SetPrivateData", &ID3D11Device::SetPrivateData);
  ExpectForwarded(device, &probe, "SetPrivateDataInterface", &ID3D11Device::SetPrivateDataInterface);
  ExpectForwarded(device, &probe, "GetFeatureLevel", &ID3D11Device::GetFeatureLevel);
  ExpectForwarded(device, &probe, "GetCreationFlags", &ID3D11Device::GetCreationFlags);
  ExpectForwarded(device, &probe, "GetDeviceRemovedReason", &ID3D11Device::GetDeviceRemovedReason);
  ExpectForwarded(device, &probe, "GetImmediateContext", &ID3D11Device::GetImmediateContext);
  ExpectForwarded(device, &probe, "SetExceptionMode", &ID3D11Device::SetExceptionMode);
  ExpectForwarded(device, &probe, "GetExceptionMode", &ID3D11Device::GetExceptionMode);

  ID3D11VideoDevice* video = nullptr;
  ASSERT_EQ(wrapper->QueryInterface(IID_PPV_ARGS(&video)), S_OK);
  EXPECT_EQ(video, static_cast<ID3D11VideoDevice*>(wrapper->videoWrapper()));
  ExpectForwarded(video, &videoProbe, "CreateVideoProcessor", &ID3D11VideoDevice::CreateVideoProcessor);
  ExpectForwarded(video, &videoProbe, "CreateAuthenticatedChannel", &ID3D11VideoDevice::CreateAuthenticatedChannel);
  ExpectForwarded(video, &videoProbe, "CreateCryptoSession", &ID3D11VideoDevice::CreateCryptoSession);
  ExpectForwarded(video, &videoProbe, "CreateVideoDecoderOutputView", &ID3D11VideoDevice::CreateVideoDecoderOutputView);
  ExpectForwarded(video, &videoProbe, "CreateVideoProcessorInputView", &ID3D11VideoDevice::CreateVideoProcessorInputView);
  ExpectForwarded(video, &videoProbe, "CreateVideoProcessorOutputView", &ID3D11VideoDevice::CreateVideoProcessorOutputView);
  ExpectForwarded(video, &videoProbe, "CreateVideoProcessorEnumerator", &ID3D11VideoDevice::CreateVideoProcessorEnumerator);
  ExpectForwarded(video, &videoProbe, "GetVideoDecoderProfileCount", &ID3D11VideoDevice::GetVideoDecoderProfileCount);
  ExpectForwarded(video, &videoProbe, "GetVideoDecoderProfile", &ID3D11VideoDevice::GetVideoDecoderProfile);
  ExpectForwarded(video, &videoProbe, "CheckVideoDecoderFormat", &ID3D11VideoDevice::CheckVideoDecoderFormat);
  ExpectForwarded(video, &videoProbe, "GetVideoDecoderConfigCount", &ID3D11VideoDevice::GetVideoDecoderConfigCount);
  ExpectForwarded(video, &videoProbe, "GetVideoDecoderConfig", &ID3D11VideoDevice::GetVideoDecoderConfig);
  ExpectForwarded(video, &videoProbe, "GetContentProtectionCaps", &ID3D11VideoDevice::GetContentProtectionCaps);
  ExpectForwarded(video, &videoProbe, "CheckCryptoKeyExchange", &ID3D11VideoDevice::CheckCryptoKeyExchange);
  ExpectForwarded(video, &videoProbe, "SetPrivateData", &ID3D11VideoDevice::SetPrivateData);
  ExpectForwarded(video, &videoProbe, "SetPrivateDataInterface", &ID3D11VideoDevice::SetPrivateDataInterface);

  // The refusal never reaches the real video device.
  videoProbe.calls.clear();
  ID3D11VideoDecoder* decoder = MakeArg<ID3D11VideoDecoder*>(9);
  D3D11_VIDEO_DECODER_DESC desc = {};
  D3D11_VIDEO_DECODER_CONFIG config = {};
  EXPECT_EQ(video->CreateVideoDecoder(&desc, &config, &decoder), E_FAIL);
  EXPECT_EQ(decoder, nullptr);
  EXPECT_TRUE(videoProbe.calls.empty());

  video->Release();
  EXPECT_EQ(wrapper->Release(), 1u);  // the probe's own reference remains
  EXPECT_EQ(probe.refCount.load(), 1);
}

TEST(DeviceWrapperTable, QueryInterfaceAnswersItsOwnInterfacesAndForwardsTheRest) {
  ProbeD3D11Device probe;
  ProbeVideoDevice videoProbe;
  ID3D11DeviceWrapper* wrapper = nullptr;
  ASSERT_EQ(ID3D11DeviceWrapper::CreateWithVideoDevice(&probe, &videoProbe, &wrapper), S_OK);

  void* out = nullptr;
  EXPECT_EQ(wrapper->QueryInterface(__uuidof(ID3D11Device), &out), S_OK);
  EXPECT_EQ(out, static_cast<ID3D11Device*>(wrapper));
  static_cast<IUnknown*>(out)->Release();
  EXPECT_TRUE(probe.calls.empty());

  // Anything else is the real device's answer, with the caller's arguments.
  HRESULT (STDMETHODCALLTYPE ID3D11Device::*deviceQuery)(REFIID, void**) = &ID3D11Device::QueryInterface;
  ExpectForwarded<ID3D11Device>(wrapper, &probe, "QueryInterface", deviceQuery);

  // The video wrapper answers for itself and forwards the rest to the real video interface.
  ID3D11VideoDevice* video = nullptr;
  ASSERT_EQ(wrapper->QueryInterface(IID_PPV_ARGS(&video)), S_OK);
  void* again = nullptr;
  EXPECT_EQ(video->QueryInterface(__uuidof(ID3D11VideoDevice), &again), S_OK);
  EXPECT_EQ(again, video);
  static_cast<IUnknown*>(again)->Release();
  HRESULT (STDMETHODCALLTYPE ID3D11VideoDevice::*videoQuery)(REFIID, void**) = &ID3D11VideoDevice::QueryInterface;
  ExpectForwarded<ID3D11VideoDevice>(video, &videoProbe, "QueryInterface", videoQuery);

  EXPECT_EQ(wrapper->QueryInterface(__uuidof(ID3D11Device), nullptr), E_POINTER);
  video->Release();
  wrapper->Release();
}

// The video interface keeps the wrapper alive: a component that holds only the video device must
// not be left with a freed object when the device wrapper's last other reference goes.
TEST(DeviceWrapperTable, VideoReferenceKeepsTheWrapperAlive) {
  ProbeD3D11Device probe;
  ProbeVideoDevice videoProbe;
  const LONG devicesBefore = ID3D11DeviceWrapper::LiveInstances();
  const LONG videoBefore = ID3D11VideoDeviceWrapper::LiveInstances();
  ID3D11DeviceWrapper* wrapper = nullptr;
  ASSERT_EQ(ID3D11DeviceWrapper::CreateWithVideoDevice(&probe, &videoProbe, &wrapper), S_OK);
  EXPECT_EQ(ID3D11DeviceWrapper::LiveInstances(), devicesBefore + 1);
  EXPECT_EQ(ID3D11VideoDeviceWrapper::LiveInstances(), videoBefore + 1);
  EXPECT_EQ(wrapper->videoWrapper()->referenceCount(), 0);

  ID3D11VideoDevice* video = nullptr;
  ASSERT_EQ(wrapper->QueryInterface(IID_PPV_ARGS(&video)), S_OK);
  EXPECT_EQ(wrapper->videoWrapper()->referenceCount(), 1);
  EXPECT_EQ(probe.refCount.load(), 3);  // probe's own + wrapper's + the video reference's
  wrapper->Release();
  EXPECT_EQ(ID3D11DeviceWrapper::LiveInstances(), devicesBefore + 1);

  // Still usable: forwards reach the probe.
  D3D11_VIDEO_PROCESSOR_CONTENT_DESC desc = {};
  ID3D11VideoProcessorEnumerator* enumerator = nullptr;
  EXPECT_EQ(video->CreateVideoProcessorEnumerator(&desc, &enumerator),
            ORVO::Test::ProbeResult<HRESULT>("CreateVideoProcessorEnumerator"));

  EXPECT_EQ(video->Release(), 1u);
  EXPECT_EQ(ID3D11DeviceWrapper::LiveInstances(), devicesBefore);
  EXPECT_EQ(ID3D11VideoDeviceWrapper::LiveInstances(), videoBefore);
  EXPECT_EQ(probe.refCount.load(), 1);
}

TEST(DeviceWrapperTable, RejectsNullArguments) {
  ProbeD3D11Device probe;
  ID3D11DeviceWrapper* wrapper = nullptr;
  EXPECT_EQ(ID3D11DeviceWrapper::Create(nullptr, &wrapper), E_POINTER);
  EXPECT_EQ(ID3D11DeviceWrapper::Create(&probe, nullptr), E_POINTER);
  EXPECT_EQ(probe.refCount.load(), 1);
}

// Against Wine's real Direct3D 11 device.
class RealDeviceWrapper : public ::testing::Test {
 protected:
  void SetUp() override {
    m_device = CreateRealDevice();
    ASSERT_TRUE(m_device);
    m_countBefore = RefCountOf(m_device.Get());
    ASSERT_EQ(ID3D11DeviceWrapper::Create(m_device.Get(), &m_wrapper), S_OK);
  }
  void TearDown() override {
    if (m_wrapper != nullptr) {
      m_wrapper->Release();
    }
  }
  ComPtr<ID3D11Device> m_device;
  ULONG m_countBefore = 0;
  ID3D11DeviceWrapper* m_wrapper = nullptr;
};

TEST_F(RealDeviceWrapper, DxgiInterfacesComeFromTheRealDevice) {
  ComPtr<IDXGIDevice> viaWrapper;
  ComPtr<IDXGIDevice> real;
  ASSERT_EQ(m_wrapper->QueryInterface(IID_PPV_ARGS(&viaWrapper)), S_OK);
  ASSERT_EQ(m_device.As(&real), S_OK);
  EXPECT_EQ(viaWrapper.Get(), real.Get());

  ComPtr<ID3D11Device> device;
  ASSERT_EQ(m_wrapper->QueryInterface(IID_PPV_ARGS(&device)), S_OK);
  EXPECT_EQ(device.Get(), static_cast<ID3D11Device*>(m_wrapper));

  // Identity: the wrapper is recognisable as such and is the same device as the one it wraps.
  EXPECT_TRUE(ID3D11DeviceWrapper::IsWrapper(m_wrapper));
  EXPECT_FALSE(ID3D11DeviceWrapper::IsWrapper(m_device.Get()));
  EXPECT_TRUE(ID3D11DeviceWrapper::IsSameDevice(m_wrapper, m_device.Get()));
  EXPECT_TRUE(ID3D11DeviceWrapper::IsSameDevice(m_device.Get(), m_wrapper));
  ComPtr<ID3D11Device> other = CreateRealDevice();
  EXPECT_FALSE(ID3D11DeviceWrapper::IsSameDevice(m_wrapper, other.Get()));
  EXPECT_FALSE(ID3D11DeviceWrapper::IsSameDevice(m_wrapper, nullptr));
}

// Wine's device has no video interface; the wrapper must not claim one either.
TEST_F(RealDeviceWrapper, NoVideoInterfaceWhenTheDeviceHasNone) {
  if (orvo_test::D3D11OffersVideoDevice()) {
    GTEST_SKIP() << "this platform's Direct3D 11 has a video interface (Wine 10): a device without one cannot be "
                    "acted out with it";
  }
  ComPtr<ID3D11VideoDevice> real;
  ASSERT_EQ(m_device.As(&real), E_NOINTERFACE) << "Wine now has a video device: extend these tests";
  ComPtr<ID3D11VideoDevice> video;
  EXPECT_EQ(m_wrapper->QueryInterface(IID_PPV_ARGS(&video)), E_NOINTERFACE);
  EXPECT_EQ(video.Get(), nullptr);
}

TEST_F(RealDeviceWrapper, ResourcesCreatedThroughTheWrapperBelongToTheRealDevice) {
  // Buffer with initial data, read back through a staging copy on the real immediate context.
  const uint32_t values[4] = {11, 22, 33, 44};
  D3D11_BUFFER_DESC bufferDesc = {sizeof(values), D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
  D3D11_SUBRESOURCE_DATA init = {values, 0, 0};
  ComPtr<ID3D11Buffer> buffer;
  ASSERT_EQ(m_wrapper->CreateBuffer(&bufferDesc, &init, &buffer), S_OK);
  ComPtr<ID3D11Device> owner;
  buffer->GetDevice(&owner);
  EXPECT_EQ(owner.Get(), m_device.Get());

  D3D11_BUFFER_DESC stagingDesc = {sizeof(values), D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ, 0, 0};
  ComPtr<ID3D11Buffer> staging;
  ASSERT_EQ(m_wrapper->CreateBuffer(&stagingDesc, nullptr, &staging), S_OK);
  ComPtr<ID3D11DeviceContext> context;
  m_wrapper->GetImmediateContext(&context);
  ComPtr<ID3D11DeviceContext> realContext;
  m_device->GetImmediateContext(&realContext);
  EXPECT_EQ(context.Get(), realContext.Get());
  context->CopyResource(staging.Get(), buffer.Get());
  D3D11_MAPPED_SUBRESOURCE mapped = {};
  ASSERT_EQ(context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped), S_OK);
  EXPECT_EQ(memcmp(mapped.pData, values, sizeof(values)), 0);
  context->Unmap(staging.Get(), 0);

  // Texture and its views.
  D3D11_TEXTURE2D_DESC texDesc = {};
  texDesc.Width = 64;
  texDesc.Height = 32;
  texDesc.MipLevels = 1;
  texDesc.ArraySize = 1;
  texDesc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  texDesc.SampleDesc.Count = 1;
  texDesc.Usage = D3D11_USAGE_DEFAULT;
  texDesc.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;
  ComPtr<ID3D11Texture2D> texture;
  ASSERT_EQ(m_wrapper->CreateTexture2D(&texDesc, nullptr, &texture), S_OK);
  D3D11_TEXTURE2D_DESC readBack = {};
  texture->GetDesc(&readBack);
  EXPECT_EQ(readBack.Width, 64u);
  EXPECT_EQ(readBack.Height, 32u);
  ComPtr<ID3D11ShaderResourceView> srv;
  EXPECT_EQ(m_wrapper->CreateShaderResourceView(texture.Get(), nullptr, &srv), S_OK);
  ComPtr<ID3D11RenderTargetView> rtv;
  ASSERT_EQ(m_wrapper->CreateRenderTargetView(texture.Get(), nullptr, &rtv), S_OK);
  const float red[4] = {1, 0, 0, 1};
  context->ClearRenderTargetView(rtv.Get(), red);

  // A bad description is the real device's refusal, not the wrapper's.
  D3D11_TEXTURE2D_DESC bad = texDesc;
  bad.Width = 0;
  ComPtr<ID3D11Texture2D> none;
  EXPECT_EQ(m_wrapper->CreateTexture2D(&bad, nullptr, &none), m_device->CreateTexture2D(&bad, nullptr, &none));
  EXPECT_EQ(none.Get(), nullptr);
}

TEST_F(RealDeviceWrapper, ShadersQueriesStatesAndDeviceFacts) {
  ComPtr<ID3DBlob> vs = Compile("float4 main(float4 p : POSITION) : SV_Position { return p; }", "vs_4_0");
  ComPtr<ID3DBlob> ps = Compile("float4 main() : SV_Target { return float4(0, 1, 0, 1); }", "ps_4_0");
  ASSERT_TRUE(vs && ps);
  ComPtr<ID3D11VertexShader> vertexShader;
  EXPECT_EQ(m_wrapper->CreateVertexShader(vs->GetBufferPointer(), vs->GetBufferSize(), nullptr, &vertexShader), S_OK);
  ComPtr<ID3D11PixelShader> pixelShader;
  EXPECT_EQ(m_wrapper->CreatePixelShader(ps->GetBufferPointer(), ps->GetBufferSize(), nullptr, &pixelShader), S_OK);
  const D3D11_INPUT_ELEMENT_DESC element = {"POSITION", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 0, 0,
                                            D3D11_INPUT_PER_VERTEX_DATA, 0};
  ComPtr<ID3D11InputLayout> layout;
  EXPECT_EQ(m_wrapper->CreateInputLayout(&element, 1, vs->GetBufferPointer(), vs->GetBufferSize(), &layout), S_OK);
  // Pixel shader bytecode is no vertex shader: the real device must say so through the wrapper.
  ComPtr<ID3D11VertexShader> wrong;
  EXPECT_TRUE(FAILED(m_wrapper->CreateVertexShader(ps->GetBufferPointer(), ps->GetBufferSize(), nullptr, &wrong)));

  D3D11_QUERY_DESC queryDesc = {D3D11_QUERY_EVENT, 0};
  ComPtr<ID3D11Query> query;
  ASSERT_EQ(m_wrapper->CreateQuery(&queryDesc, &query), S_OK);
  ComPtr<ID3D11DeviceContext> context;
  m_wrapper->GetImmediateContext(&context);
  context->End(query.Get());
  context->Flush();

  D3D11_SAMPLER_DESC samplerDesc = {};
  samplerDesc.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
  samplerDesc.AddressU = samplerDesc.AddressV = samplerDesc.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
  samplerDesc.MaxLOD = D3D11_FLOAT32_MAX;
  ComPtr<ID3D11SamplerState> sampler;
  EXPECT_EQ(m_wrapper->CreateSamplerState(&samplerDesc, &sampler), S_OK);

  EXPECT_EQ(m_wrapper->GetFeatureLevel(), m_device->GetFeatureLevel());
  EXPECT_EQ(m_wrapper->GetCreationFlags(), m_device->GetCreationFlags());
  UINT viaWrapper = 0;
  UINT direct = 0;
  EXPECT_EQ(m_wrapper->CheckFormatSupport(DXGI_FORMAT_B8G8R8A8_UNORM, &viaWrapper), S_OK);
  m_device->CheckFormatSupport(DXGI_FORMAT_B8G8R8A8_UNORM, &direct);
  EXPECT_EQ(viaWrapper, direct);
  EXPECT_NE(viaWrapper & D3D11_FORMAT_SUPPORT_RENDER_TARGET, 0u);

  // Private data stored through the wrapper lands on the real device.
  const GUID key = {0x1f2e3d4c, 0x5b6a, 0x4789, {0x9a, 0xbc, 0xde, 0xf0, 0x12, 0x34, 0x56, 0x78}};
  const uint32_t stored = 0xC0FFEE;
  ASSERT_EQ(m_wrapper->SetPrivateData(key, sizeof(stored), &stored), S_OK);
  uint32_t read = 0;
  UINT size = sizeof(read);
  ASSERT_EQ(m_device->GetPrivateData(key, &size, &read), S_OK);
  EXPECT_EQ(read, stored);
}

TEST_F(RealDeviceWrapper, EveryWrapperReferenceHoldsOneRealReference) {
  EXPECT_EQ(RefCountOf(m_device.Get()), m_countBefore + 1);
  EXPECT_EQ(m_wrapper->AddRef(), m_countBefore + 2);
  EXPECT_EQ(m_wrapper->referenceCount(), 2);
  EXPECT_EQ(m_wrapper->Release(), m_countBefore + 1);
  EXPECT_EQ(m_wrapper->referenceCount(), 1);
}

TEST(RealDeviceWrapperLifetime, LastReleaseFreesBothWrappersAndReleasesTheDeviceOnce) {
  const LONG devicesBefore = ID3D11DeviceWrapper::LiveInstances();
  const LONG videoBefore = ID3D11VideoDeviceWrapper::LiveInstances();
  ID3D11Device* device = CreateRealDevice().Detach();
  ASSERT_NE(device, nullptr);
  const ULONG ownCount = RefCountOf(device);

  ID3D11DeviceWrapper* wrapper = nullptr;
  ASSERT_EQ(ID3D11DeviceWrapper::Create(device, &wrapper), S_OK);
  EXPECT_EQ(ID3D11DeviceWrapper::LiveInstances(), devicesBefore + 1);
  EXPECT_EQ(ID3D11VideoDeviceWrapper::LiveInstances(), videoBefore + 1);
  {
    ComPtr<IDXGIDevice> dxgi;
    ASSERT_EQ(wrapper->QueryInterface(IID_PPV_ARGS(&dxgi)), S_OK);
    ComPtr<ID3D11Device> again;
    ASSERT_EQ(wrapper->QueryInterface(IID_PPV_ARGS(&again)), S_OK);
  }
  EXPECT_EQ(wrapper->Release(), ownCount);
  EXPECT_EQ(ID3D11DeviceWrapper::LiveInstances(), devicesBefore);
  EXPECT_EQ(ID3D11VideoDeviceWrapper::LiveInstances(), videoBefore);
  // Exactly our own references remain: the wrapper released the one it took, once.
  EXPECT_EQ(RefCountOf(device), ownCount);
  for (ULONG i = 1; i < ownCount; ++i) {
    device->Release();
  }
  EXPECT_EQ(device->Release(), 0u);
}
