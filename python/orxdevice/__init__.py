"""Camera logic shared by the network front ends."""
