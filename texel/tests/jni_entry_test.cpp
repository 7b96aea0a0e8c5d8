// The JNI entry driven through a scripted JNIEnv: argument refusals, the returned maps, every
// request for the pixel array (a second one when the CPU path takes over) released read-only
// on every path, and no lost memory when a Java allocation fails part way (checked by the
// leak detector in the sanitizer build).
#include <gtest/gtest.h>
#include <jni.h>

#include <algorithm>
#include <cmath>
#include <memory>
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
    int fail_get_at = -1;                         // 0-based GetIntArrayElements call that returns null
    std::vector<std::unique_ptr<jint[]>> copies;  // handed out and not yet released
    bool fail_object_array = false;
    int fail_float_array_at = -1;  // 0-based NewFloatArray call that returns null
    int float_arrays_made = 0;
    std::vector<std::vector<float>> floats;  // created float arrays, by handle - 1
    std::vector<int> slots;                  // object array: float handle per slot, 0 for null
    std::string thrown_class, thrown_message;
    std::vector<std::string> class_names;  // handle - 1
    int local_refs_deleted = 0;
    std::string err;  // the library's standard error
};

FakeJava* g_java = nullptr;
char g_image_handle, g_object_array_handle;

intptr_t h(const void* p) { return reinterpret_cast<intptr_t>(p); }

jsize JNICALL GetArrayLength(JNIEnv*, jarray a) {
    return h(a) == h(&g_image_handle) ? (jsize)g_java->image.size() : -1;
}
// Like a copying virtual machine: every request gets its own copy of the array.
jint* JNICALL GetIntArrayElements(JNIEnv*, jintArray, jboolean* is_copy) {
    if (is_copy) *is_copy = JNI_TRUE;
    if (g_java->gets++ == g_java->fail_get_at) {
        g_java->thrown_class = "java/lang/OutOfMemoryError";
        return nullptr;
    }
    const size_t n = g_java->image.size();
    g_java->copies.emplace_back(new jint[n > 0 ? n : 1]);
    std::copy(g_java->image.begin(), g_java->image.end(), g_java->copies.back().get());
    return g_java->copies.back().get();
}
void JNICALL ReleaseIntArrayElements(JNIEnv*, jintArray, jint* elems, jint mode) {
    auto& c = g_java->copies;
    const auto it =
        std::find_if(c.begin(), c.end(), [&](const std::unique_ptr<jint[]>& p) { return p.get() == elems; });
    ASSERT_NE(c.end(), it) << "released elements that were not handed out (or twice)";
    // A read-only caller must not have written into its copy.
    EXPECT_TRUE(std::equal(g_java->image.begin(), g_java->image.end(), it->get()));
    c.erase(it);
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
    jobjectArray r =
        Java_Quillmere_ImageProcessing_CooccurenceMatrix_nativeTexelMatrix(&e.env, nullptr, image, X, Y, Z, P, Q, L);
    java.err = testing::internal::GetCapturedStderr();
    g_java = nullptr;
    return r;
}

jintArray image_handle() { return reinterpret_cast<jintArray>(&g_image_handle); }

// The entry asks for the pixels once for the GPU path and once more when the CPU path
// takes over.
int expected_gets(const FakeJava& java) {
    return java.err.find("CUDA computation failed, switching to posix\n") != std::string::npos ? 2 : 1;
}

// Every request answered with elements was released, read only.
void expect_all_released(const FakeJava& java, int gets_answered) {
    EXPECT_EQ(gets_answered, java.releases) << java.err;
    EXPECT_TRUE(java.copies.empty());
    if (java.releases > 0) {
        EXPECT_EQ(JNI_ABORT, java.release_mode);
    }
}

TEST(TexelJniEntry, ReturnsTheTenMapsAndReleasesThePixelsReadOnly) {
    const int X = 9, Y = 8, Z = 3, P = 2, Q = 1, L = 5;
    const size_t n = (size_t)X * Y * Z;
    FakeJava java;
    const auto img = texel_random_volume(21, n, -1, L);
    java.image.assign(img.begin(), img.end());
    ASSERT_NE(nullptr, call(java, image_handle(), X, Y, Z, P, Q, L));
    EXPECT_EQ("", java.thrown_class);
    EXPECT_EQ(expected_gets(java), java.gets) << java.err;
    expect_all_released(java, java.gets);
    ASSERT_EQ(10u, java.slots.size());
    EXPECT_EQ(10, java.local_refs_deleted);
    TexelMaps want(n, 0.0f);
    texel_serial_maps(img.data(), X, Y, Z, P, Q, L, want.ptr);
    // Maps from a GPU: its NaN has other bits, its logarithm rounds differently.
    const bool gpu_ran = expected_gets(java) == 1;
    float* got[10];
    for (int f = 0; f < 10; ++f) {
        ASSERT_NE(0, java.slots[f]) << f;
        auto& array = java.floats.at((size_t)java.slots[f] - 1);
        ASSERT_EQ(n, array.size());
        got[f] = array.data();
    }
    EXPECT_EQ("", gpu_ran ? texel_compare_gpu(want.data, got, n) : texel_compare_bits(want.data, got, n));
}

TEST(TexelJniEntry, RefusesBadArgumentsBeforeTouchingThePixels) {
    struct Bad {
        int X, Y, Z, P, Q, L;
    } bad[] = {{5, 5, 1, 0, 0, 4},  {0, 4, 1, 0, 0, 4}, {4, 4, -1, 0, 0, 4},       {4, 4, 1, -1, 0, 4},
               {4, 4, 1, 0, -3, 4}, {4, 4, 1, 0, 0, 0}, {65536, 65536, 1, 0, 0, 4}};
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
        expect_all_released(java, expected_gets(java));
        EXPECT_EQ(fail_at, java.local_refs_deleted);
    }
    FakeJava no_result;
    no_result.image.assign((size_t)X * Y * Z, 2);
    no_result.fail_object_array = true;
    EXPECT_EQ(nullptr, call(no_result, image_handle(), X, Y, Z, 1, 1, 4));
    expect_all_released(no_result, expected_gets(no_result));
    // The first request refused: nothing computed, nothing to release.
    FakeJava no_pixels;
    no_pixels.image.assign((size_t)X * Y * Z, 2);
    no_pixels.fail_get_at = 0;
    EXPECT_EQ(nullptr, call(no_pixels, image_handle(), X, Y, Z, 1, 1, 4));
    EXPECT_EQ(1, no_pixels.gets);
    EXPECT_EQ("java/lang/OutOfMemoryError", no_pixels.thrown_class);
    expect_all_released(no_pixels, 0);
}

// The second request refused (CPU path only): the first elements are still released,
// the pending OutOfMemoryError is left as it is, no map is returned or lost.
TEST(TexelJniEntry, RefusedSecondRequestReleasesTheFirst) {
    const int X = 6, Y = 5;
    for (int Z : {1, 64}) {  // column level and slice level on any machine below 64 processors
        FakeJava java;
        java.image.assign((size_t)X * Y * Z, 1);
        java.fail_get_at = 1;
        jobjectArray r = call(java, image_handle(), X, Y, Z, 1, 1, 4);
        if (expected_gets(java) == 1) GTEST_SKIP() << "the GPU path ran: no second request";
        EXPECT_EQ(nullptr, r);
        EXPECT_EQ(2, java.gets);
        EXPECT_EQ("java/lang/OutOfMemoryError", java.thrown_class);
        EXPECT_EQ("", java.thrown_message);  // the virtual machine's exception, not replaced
        expect_all_released(java, 1);
        EXPECT_EQ(0u, java.floats.size());
    }
}

}  // namespace
