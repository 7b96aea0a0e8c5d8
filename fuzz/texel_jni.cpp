// The JNI entry of the texture library, through a minimal JNIEnv: the input gives the
// six sizes (one byte each, kept small so that one call stays fast) and the pixels
// (little-endian int16, widened). Accepted arguments must give ten maps of X*Y*Z finite
// values (the correlation may be NaN, where a window has no variance); refused ones must
// throw IllegalArgumentException, and every pixel request is released read only.
#include <jni.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"

extern "C" JNIEXPORT jobjectArray JNICALL Java_Quillmere_ImageProcessing_CooccurenceMatrix_nativeTexelMatrix(
    JNIEnv* env, jclass, jintArray image, jint X, jint Y, jint Z, jint P, jint Q, jint L);

namespace {

struct Java {
    std::vector<jint> image;
    std::vector<std::vector<jint>> handed_out;
    int outstanding = 0;
    std::vector<std::vector<float>> floats;
    std::vector<int> slots;
    std::string thrown;
    std::vector<std::string> classes;
} g;

char g_image, g_objects;

jsize JNICALL GetArrayLength(JNIEnv*, jarray) { return (jsize)g.image.size(); }
jint* JNICALL GetIntArrayElements(JNIEnv*, jintArray, jboolean* is_copy) {
    if (is_copy) *is_copy = JNI_TRUE;
    g.handed_out.push_back(g.image);
    ++g.outstanding;
    return g.handed_out.back().data();
}
void JNICALL ReleaseIntArrayElements(JNIEnv*, jintArray, jint*, jint mode) {
    if (mode != JNI_ABORT) fuzz::fail("pixels released with mode %d", (int)mode);
    --g.outstanding;
}
jclass JNICALL FindClass(JNIEnv*, const char* name) {
    g.classes.push_back(name);
    return reinterpret_cast<jclass>((intptr_t)g.classes.size());
}
jint JNICALL ThrowNew(JNIEnv*, jclass c, const char*) {
    g.thrown = g.classes.at((size_t) reinterpret_cast<intptr_t>(c) - 1);
    return 0;
}
jobjectArray JNICALL NewObjectArray(JNIEnv*, jsize len, jclass, jobject) {
    g.slots.assign((size_t)len, 0);
    return reinterpret_cast<jobjectArray>(&g_objects);
}
jfloatArray JNICALL NewFloatArray(JNIEnv*, jsize len) {
    g.floats.emplace_back((size_t)len, NAN);
    return reinterpret_cast<jfloatArray>((intptr_t)g.floats.size());
}
void JNICALL SetFloatArrayRegion(JNIEnv*, jfloatArray a, jsize start, jsize len, const jfloat* buf) {
    std::vector<float>& dst = g.floats.at((size_t) reinterpret_cast<intptr_t>(a) - 1);
    if (start < 0 || len < 0 || (size_t)start + (size_t)len > dst.size()) fuzz::fail("float region out of bounds");
    std::memcpy(dst.data() + start, buf, sizeof(float) * (size_t)len);
}
void JNICALL SetObjectArrayElement(JNIEnv*, jobjectArray, jsize i, jobject v) {
    g.slots.at((size_t)i) = (int)reinterpret_cast<intptr_t>(v);
}
void JNICALL DeleteLocalRef(JNIEnv*, jobject) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    // sizes: X, Y in 0..9, Z in 0..2 (0 to test the refusal), P, Q in -1..4, L in -1..30
    const int X = data[0] % 10, Y = data[1] % 10, Z = data[2] % 3;
    const int P = data[3] % 6 - 1, Q = data[4] % 6 - 1, L = data[5] % 32 - 1;
    g = Java();
    for (size_t i = 6; i + 1 < size; i += 2) g.image.push_back((jint)(int16_t)(data[i] | (data[i + 1] << 8)));

    JNINativeInterface_ table{};
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
    JNIEnv env{};
    env.functions = &table;

    jobjectArray r = Java_Quillmere_ImageProcessing_CooccurenceMatrix_nativeTexelMatrix(
        &env, nullptr, reinterpret_cast<jintArray>(&g_image), X, Y, Z, P, Q, L);
    if (g.outstanding != 0) fuzz::fail("%d pixel request(s) not released", g.outstanding);
    const bool valid = X > 0 && Y > 0 && Z > 0 && P >= 0 && Q >= 0 && L >= 1 && (size_t)X * Y * Z <= g.image.size();
    if (!valid) {
        if (r || g.thrown != "java/lang/IllegalArgumentException") fuzz::fail("bad arguments not refused");
        return 0;
    }
    if (!r) fuzz::fail("valid call returned no maps (thrown: %s)", g.thrown.c_str());
    const size_t n = (size_t)X * Y * Z;
    if (g.slots.size() != 10) fuzz::fail("%zu maps", g.slots.size());
    for (int f = 0; f < 10; ++f) {
        if (g.slots[f] == 0) fuzz::fail("map %d missing", f);
        const std::vector<float>& m = g.floats.at((size_t)g.slots[f] - 1);
        if (m.size() != n) fuzz::fail("map %d holds %zu values, not %zu", f, m.size(), n);
        for (size_t i = 0; i < n; ++i) {
            // a window without variance has a correlation that is not a number (0/0), by definition
            if (f == 8 && std::isnan(m[i])) continue;
            fuzz::require_finite(m[i], f == 8 ? "correlation" : "map value", (long)i);
        }
    }
    return 0;
}
