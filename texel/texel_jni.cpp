// JNI entry of libnativeTexelMatrix: the native method
// Quillmere.ImageProcessing.CooccurenceMatrix.nativeTexelMatrix(int[], X, Y, Z, P, Q, L).
#include <jni.h>
#include <stdint.h>
#include <stdlib.h>

#include "texel_cpu.h"
#include "texel_dispatch.h"
#include "texel_glcm.h"
#include "texel_gpu.h"

// Asks the driver of hybrid-graphics machines to run this process's CUDA work on the
// discrete GPU.
extern "C" {
__attribute__((visibility("default"))) uint32_t NvOptimusEnablementCuda = 1;
}

static void texel_throw(JNIEnv* env, const char* cls, const char* msg) {
    jclass c = env->FindClass(cls);
    if (c) env->ThrowNew(c, msg);
}

// The second request for the image elements, made when the CPU path takes over.
struct TexelJniPixels {
    JNIEnv* env;
    jintArray array;
    jint* elements;  // null until obtained (or when Java could not provide them)
};

static const int32_t* texel_jni_pixels_again(void* ctx) {
    TexelJniPixels* p = static_cast<TexelJniPixels*>(ctx);
    p->elements = p->env->GetIntArrayElements(p->array, nullptr);
    return reinterpret_cast<const int32_t*>(p->elements);
}

static void texel_free_maps(float** maps) {
    for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) {
        free(maps[f]);
        maps[f] = nullptr;
    }
}

extern "C" JNIEXPORT jobjectArray JNICALL Java_Quillmere_ImageProcessing_CooccurenceMatrix_nativeTexelMatrix(
    JNIEnv* env, jclass, jintArray image, jint X, jint Y, jint Z, jint P, jint Q, jint L) {
    if (!image) {
        texel_throw(env, "java/lang/IllegalArgumentException", "image array must not be null");
        return nullptr;
    }
    char msg[200];
    if (texel_check_arguments((int64_t)env->GetArrayLength(image), X, Y, Z, P, Q, L, msg, sizeof msg)) {
        texel_throw(env, "java/lang/IllegalArgumentException", msg);
        return nullptr;
    }
    // The array check bounds N by the Java array length, so N fits a jsize.
    const size_t N = (size_t)X * (size_t)Y * (size_t)Z;
    float* maps[TEXEL_NUM_FEATURES] = {nullptr};
    for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) {
        maps[f] = (float*)malloc(N * sizeof(float));
        if (!maps[f]) {
            texel_free_maps(maps);
            texel_throw(env, "java/lang/OutOfMemoryError", "cannot allocate the ten feature maps");
            return nullptr;
        }
    }

    jint* pixels = env->GetIntArrayElements(image, nullptr);
    if (!pixels) {  // OutOfMemoryError pending
        texel_free_maps(maps);
        return nullptr;
    }
    TexelJniPixels again = {env, image, nullptr};
    const int status =
        texel_compute_maps(reinterpret_cast<const int32_t*>(pixels), X, Y, Z, P, Q, L, maps, texel_processor_count(),
                           texel_gpu_compute_all, texel_jni_pixels_again, &again);
    // Both requests are read only: nothing to copy back.
    if (again.elements) env->ReleaseIntArrayElements(image, again.elements, JNI_ABORT);
    env->ReleaseIntArrayElements(image, pixels, JNI_ABORT);
    if (status != 0) {
        texel_free_maps(maps);
        // status 2: the second request failed and left its OutOfMemoryError pending.
        if (status == 1) texel_throw(env, "java/lang/OutOfMemoryError", "cannot allocate the worker scratch memory");
        return nullptr;
    }

    jclass floatArray = env->FindClass("[F");
    jobjectArray result = floatArray ? env->NewObjectArray(TEXEL_NUM_FEATURES, floatArray, nullptr) : nullptr;
    if (!result) {
        texel_free_maps(maps);
        return nullptr;
    }
    for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) {
        jfloatArray a = env->NewFloatArray((jsize)N);
        if (!a) {
            texel_free_maps(maps);
            return nullptr;
        }
        env->SetFloatArrayRegion(a, 0, (jsize)N, maps[f]);
        env->SetObjectArrayElement(result, f, a);
        env->DeleteLocalRef(a);
        free(maps[f]);
        maps[f] = nullptr;
    }
    return result;
}
