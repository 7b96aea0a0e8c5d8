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
  const int status = texel_compute_maps(reinterpret_cast<const int32_t*>(pixels), X, Y, Z, P, Q, L, maps,
                                        texel_processor_count(), texel_gpu_compute_all);
  env->ReleaseIntArrayElements(image, pixels, JNI_ABORT);  // read only: nothing to copy back
  if (status != 0) {
    texel_free_maps(maps);
    texel_throw(env, "java/lang/OutOfMemoryError", "cannot allocate the worker scratch memory");
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
