/* Runs `cmd /c echo hello` through brackwyn and checks that "hello" arrived,
   that the run ended once and that it counts as a success. Exit code 0 when
   it did. */
#include <stdio.h>
#include <string.h>

#include <brackwyn.h>

struct Run {
    char out[4096];
    size_t used;
    int ends;
};

/* Only the output reader thread writes here, and dllglue_main returns after
   it is done, so the main thread reads without a lock. */
static void BRACKWYN_CALL OnOutput(const char *text, size_t length, void *user) {
    struct Run *run = (struct Run *)user;
    const size_t room = sizeof(run->out) - 1 - run->used;
    if (length > room)
        length = room;
    memcpy(run->out + run->used, text, length);
    run->used += length;
    run->out[run->used] = '\0';
}

static void BRACKWYN_CALL OnEnd(int stderrSeen, void *user) {
    (void)stderrSeen;
    ++((struct Run *)user)->ends;
}

int main(void) {
    static struct Run run;
    int result;
    dllglue_setconsoleout(OnOutput);
    dllglue_setconsoleexit(OnEnd);
    result = dllglue_main("cmd /c echo hello", 0, NULL, &run);
    if (result != 1 || strstr(run.out, "hello") == NULL || run.ends != 1) {
        fprintf(stderr, "consumer: result %d, %d ends, output \"%s\"\n", result, run.ends, run.out);
        return 1;
    }
    printf("consumer: got \"hello\"\n");
    return 0;
}
