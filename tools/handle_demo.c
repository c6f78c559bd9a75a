/* Smallest use of the interface: create a handle for each model and free it again. */
#include <stdio.h>

#include "kestrelapi.h"

int main(void) {
    const kestrelapi_model_t models[] = {kestrel_one, kestrel_two, kestrel_three};
    for (unsigned i = 0; i < 3; ++i) {
        kestrelapi_handle h = NULL;
        ohwapi_err_code_t rc = kestrelapi_create_new_handle(&h, models[i]);
        if (rc != OHWAPI_OK) {
            fprintf(stderr, "create_new_handle(%d) failed: %d\n", (int)models[i], (int)rc);
            return 1;
        }
        printf("model %d: handle created, last error %d\n", (int)models[i],
               (int)kestrelapi_get_last_error(h));
        kestrelapi_free(h);
    }
    return 0;
}
