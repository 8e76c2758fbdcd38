#include "held_tag.h"

bool is_held_tag(int held_node, int sent_node, int node)
{
    return held_node < 0 || node < 0 || node == held_node || node == sent_node;
}
