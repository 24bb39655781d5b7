# velmora_embed_version_block(<target>): stamps the product's version block into <target>.
# (Filled in by the version-block generator work.)
function(velmora_embed_version_block target)
endfunction()
