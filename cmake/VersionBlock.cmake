# velmora_embed_version_block(<target>): stamps the product's version block into <target>.
#
# The block has the binary layout of a Windows version resource (VS_VERSIONINFO) and sits in the
# ELF section ".velmora_version" of the linked file, where platform/versionresource.cpp finds it.
# A small generator of ours, built for the build machine first, turns the CMake values into a
# source file holding the block; no resource compiler or cross tools are involved.
function(velmora_embed_version_block target)
    if(NOT TARGET velmora_versionblockgen)
        add_executable(velmora_versionblockgen
            ${PROJECT_SOURCE_DIR}/src/platform/tools/versionblockgen.cpp
            ${PROJECT_SOURCE_DIR}/src/platform/tools/versionblockwriter.cpp)
        target_link_libraries(velmora_versionblockgen PRIVATE velmora_warnings)
    endif()

    set(version "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${PROJECT_VERSION_TWEAK}")
    set(output "${CMAKE_CURRENT_BINARY_DIR}/${target}_versionblock.cpp")
    add_custom_command(
        OUTPUT "${output}"
        COMMAND velmora_versionblockgen
            --output "${output}"
            --section .velmora_version
            --file-version "${version}"
            --product-version "${version}"
            --translation 0409:04E4
            "CompanyName=${VELMORA_COMPANY_NAME}"
            "FileDescription=${VELMORA_FILE_DESCRIPTION}"
            "FileVersion=${version}"
            "InternalName=${VELMORA_PRODUCT_NAME}"
            "LegalCopyright=${VELMORA_LEGAL_COPYRIGHT}"
            "OriginalFilename=$<TARGET_FILE_NAME:${target}>"
            "ProductName=${VELMORA_PRODUCT_NAME}"
            "ProductVersion=${version}"
        DEPENDS velmora_versionblockgen
        COMMENT "Generating the version block of ${target}"
        VERBATIM)
    target_sources(${target} PRIVATE "${output}")
endfunction()
