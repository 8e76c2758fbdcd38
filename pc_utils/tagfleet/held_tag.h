// A station's slot holds a tag from its first answer until it goes. A poll
// on the open line tells, by the node ID that answered, whether the tag
// there is still the one held or another was put in meanwhile.
#pragma once

// Whether a poll's answer `node` (-1: the tag gave none) comes from the
// tag held, whose node ID is `held_node` (-1 while not known) and which
// was sent `sent_node` from the pool (-1: none). A tag whose node ID was
// not read is the same tag until it misses two polls; a tag sent an ID of
// the pool may answer with it or with the one it had, whether or not its
// answer to the set was heard.
bool is_held_tag(int held_node, int sent_node, int node);
