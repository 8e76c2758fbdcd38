// The upload stage of a run.
#include "app.h"
#include "tag/tag.h"

int upload_stage(const char* port, char* filename, bool auto_run)
{
    (void)filename;
    (void)auto_run;
    (void)tag_disconnect(port);
    return 0;
}
