// The JNI entry driven through a scripted JNIEnv: argument refusals, the returned maps, the
// pixel array released read-only on every path, and no lost memory when a Java allocation
// fails part way (checked by the leak detector in the sanitizer build).
#include <gtest/gtest.h>
#include <jni.h>

#include <string>
#include <vector>

#include "texel_test_util.h"

extern "C" JNIEXPORT jobjectArray JNICALL Java_Quillmere_ImageProcessing_CooccurenceMatrix_nativeTexelMatrix(
    JNIEnv* env, jclass, jintArray image, jint X, jint Y, jint Z, jint P, jint Q, jint L);

namespace {

// The scripted Java side: one int array, float arrays and one object array of 10.
struct FakeJava {
  std::vector<jint> image;
  int gets = 0, releases = 0, release_mode = -1;
  bool fail_get = false, fail_object_array = false;
  int fail_float_array_at = -1;  // 0-based NewFloatArray call that returns null
  int float_arrays_made = 0;
  std::vector<std::vector<float>> floats;  // created float arrays, by handle - 1
  std::vector<int> slots;                  // object array: float handle per slot, 0 for null
  std::string thrown_class, thrown_message;
  std::vector<std::string> class_names;    // handle - 1
  int local_refs_deleted = 0;
};

FakeJava* g_java = nullptr;
char g_image_handle, g_object_array_handle;

intptr_t h(const void* p) { return reinterpret_cast<intptr_t>(p); }

jsize JNICALL GetArrayLength(JNIEnv*, jarray a) {
  return h(a) == h(&g_image_handle) ? (jsize)g_java->image.size() : -1;
}
jint* JNICALL GetIntArrayElements(JNIEnv*, jintArray, jboolean* is_copy) {
  if (is_copy) *is_copy = JNI_FALSE;
  if (g_java->fail_get) {
    g_java->thrown_class = "java/lang/OutOfMemoryError";
    return nullptr;
  }
  ++g_java->gets;
  return g_java->image.data();
}
void JNICALL ReleaseIntArrayElements(JNIEnv*, jintArray, jint* elems, jint mode) {
  EXPECT_EQ(g_java->image.data(), elems);
  ++g_java->releases;
  g_java->release_mode = mode;
}
jclass JNICALL FindClass(JNIEnv*, const char* name) {
  g_java->class_names.push_back(name);
  return reinterpret_cast<jclass>((intptr_t)g_java->class_names.size());
}
jint JNICALL ThrowNew(JNIEnv*, jclass c, const char* msg) {
  g_java->thrown_class = g_java->class_names.at((size_t)h(c) - 1);
  g_java->thrown_message = msg;
  return 0;
}
jobjectArray JNICALL NewObjectArray(JNIEnv*, jsize len, jclass c, jobject init) {
  EXPECT_EQ("[F", g_java->class_names.at((size_t)h(c) - 1));
  EXPECT_EQ(nullptr, init);
  if (g_java->fail_object_array) return nullptr;
  g_java->slots.assign((size_t)len, 0);
  return reinterpret_cast<jobjectArray>(&g_object_array_handle);
}
jfloatArray JNICALL NewFloatArray(JNIEnv*, jsize len) {
  if (g_java->float_arrays_made++ == g_java->fail_float_array_at) return nullptr;
  g_java->floats.emplace_back((size_t)len, -1.0f);
  return reinterpret_cast<jfloatArray>((intptr_t)g_java->floats.size());
}
void JNICALL SetFloatArrayRegion(JNIEnv*, jfloatArray a, jsize start, jsize len, const jfloat* buf) {
  auto& dst = g_java->floats.at((size_t)h(a) - 1);
  ASSERT_LE((size_t)start + (size_t)len, dst.size());
  for (jsize i = 0; i < len; ++i) dst[(size_t)start + i] = buf[i];
}
void JNICALL SetObjectArrayElement(JNIEnv*, jobjectArray, jsize i, jobject v) {
  g_java->slots.at((size_t)i) = (int)h(v);
}
void JNICALL DeleteLocalRef(JNIEnv*, jobject) { ++g_java->local_refs_deleted; }

struct Env {
  JNINativeInterface_ table{};
  JNIEnv env{};
  Env() {
    table.GetArrayLength = GetArrayLength;
    table.GetIntArrayElements = GetIntArrayElements;
    table.ReleaseIntArrayElements = ReleaseIntArrayElements;
    table.FindClass = FindClass;
    table.ThrowNew = ThrowNew;
    table.NewObjectArray = NewObjectArray;
    table.NewFloatArray = NewFloatArray;
    table.SetFloatArrayRegion = SetFloatArrayRegion;
    table.SetObjectArrayElement = SetObjectArrayElement;
    table.DeleteLocalRef = DeleteLocalRef;
    env.functions = &table;
  }
};

jobjectArray call(FakeJava& java, jintArray image, int X, int Y, int Z, int P, int Q, int L) {
  g_java = &java;
  Env e;
  testing::internal::CaptureStderr();
  jobjectArray r = Java_Quillmere_ImageProcessing_CooccurenceMatrix_nativeTexelMatrix(&e.env, nullptr, image, X, Y,
                                                                                      Z, P, Q, L);
  testing::internal::GetCapturedStderr();
  g_java = nullptr;
  return r;
}

jintArray image_handle() { return reinterpret_cast<jintArray>(&g_image_handle); }

TEST(TexelJniEntry, ReturnsTheTenMapsAndReleasesThePixelsReadOnly) {
  const int X = 9, Y = 8, Z = 3, P = 2, Q = 1, L = 5;
  const size_t n = (size_t)X * Y * Z;
  FakeJava java;
  const auto img = texel_random_volume(21, n, -1, L);
  java.image.assign(img.begin(), img.end());
  ASSERT_NE(nullptr, call(java, image_handle(), X, Y, Z, P, Q, L));
  EXPECT_EQ("", java.thrown_class);
  EXPECT_EQ(1, java.gets);
  EXPECT_EQ(1, java.releases);
  EXPECT_EQ(JNI_ABORT, java.release_mode);
  ASSERT_EQ(10u, java.slots.size());
  EXPECT_EQ(10, java.local_refs_deleted);
  TexelMaps want(n, 0.0f);
  texel_serial_maps(img.data(), X, Y, Z, P, Q, L, want.ptr);
  for (int f = 0; f < 10; ++f) {
    ASSERT_NE(0, java.slots[f]) << f;
    const auto& got = java.floats.at((size_t)java.slots[f] - 1);
    ASSERT_EQ(n, got.size());
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(texel_bits(want.ptr[f][i]), texel_bits(got[i])) << f << " " << i;
  }
}

TEST(TexelJniEntry, RefusesBadArgumentsBeforeTouchingThePixels) {
  struct Bad {
    int X, Y, Z, P, Q, L;
  } bad[] = {{5, 5, 1, 0, 0, 4}, {0, 4, 1, 0, 0, 4},   {4, 4, -1, 0, 0, 4},
             {4, 4, 1, -1, 0, 4}, {4, 4, 1, 0, -3, 4}, {4, 4, 1, 0, 0, 0},
             {65536, 65536, 1, 0, 0, 4}};
  for (const Bad& b : bad) {
    FakeJava java;
    java.image.assign(16, 1);
    EXPECT_EQ(nullptr, call(java, image_handle(), b.X, b.Y, b.Z, b.P, b.Q, b.L));
    EXPECT_EQ("java/lang/IllegalArgumentException", java.thrown_class) << b.X << " " << b.Z << " " << b.L;
    EXPECT_FALSE(java.thrown_message.empty());
    EXPECT_EQ(0, java.gets);
  }
  FakeJava java;
  EXPECT_EQ(nullptr, call(java, nullptr, 2, 2, 1, 0, 0, 2));
  EXPECT_EQ("java/lang/IllegalArgumentException", java.thrown_class);
}

TEST(TexelJniEntry, FailedJavaAllocationsLoseNothing) {
  const int X = 6, Y = 5, Z = 2;
  for (int fail_at : {0, 4, 9}) {
    FakeJava java;
    java.image.assign((size_t)X * Y * Z, 2);
    java.fail_float_array_at = fail_at;
    EXPECT_EQ(nullptr, call(java, image_handle(), X, Y, Z, 1, 1, 4));
    EXPECT_EQ(1, java.releases);
    EXPECT_EQ(JNI_ABORT, java.release_mode);
    EXPECT_EQ(fail_at, java.local_refs_deleted);
  }
  FakeJava no_result;
  no_result.image.assign((size_t)X * Y * Z, 2);
  no_result.fail_object_array = true;
  EXPECT_EQ(nullptr, call(no_result, image_handle(), X, Y, Z, 1, 1, 4));
  EXPECT_EQ(1, no_result.releases);
  FakeJava no_pixels;
  no_pixels.image.assign((size_t)X * Y * Z, 2);
  no_pixels.fail_get = true;
  EXPECT_EQ(nullptr, call(no_pixels, image_handle(), X, Y, Z, 1, 1, 4));
  EXPECT_EQ(0, no_pixels.releases);
}

}  // namespace
